#pragma once

#include "weaver/Weave.h"

#include <QString>
#include <QStringList>

namespace tavo::weaver {

// Removes the temporary files ("<stem>.part-<pid>.<ext>" and what was named
// after them) that processes which are gone left in `folder`, e.g. after a
// kill -9; those of a running process stay.
void removeDeadLeftovers(const QString& folder);

// The files of one output: the main file and, for JPEG and PNG, a world file,
// a .prj and the "<name>.aux.xml" GDAL reads the coordinate system from.
// Everything is written under temporary names in the output's folder
// ("<stem>.part-<pid>.<ext>") and renamed in place only when complete, so no
// half-written file ever carries a name the user chose.
class OutputFiles final
{
public:
    OutputFiles(const QString& outPath, OutputFormat format);
    ~OutputFiles();
    OutputFiles(const OutputFiles&) = delete;
    OutputFiles& operator=(const OutputFiles&) = delete;

    // Checks the folder and claims the temporary main file.
    bool prepare(QString* error);

    QString temporaryMain() const { return m_tempMain; }
    // Start of the names of further temporary files of this output (removed by discard()).
    QString scratchPrefix() const { return m_tempPrefix; }
    // Final names of the side files; empty when the format has none.
    QString worldFilePath() const { return m_world; }
    QString projectionPath() const { return m_prj; }

    // Writes the side files (temporary names) from a GDAL geotransform.
    bool writeWorldFile(const double* transform) const;
    bool writeProjection() const;
    bool writeAuxiliary() const;

    // Flushes everything to disk and renames it into place.
    bool commit(QString* error);
    // Removes every temporary file of this output.
    void discard();

private:
    QString m_out, m_world, m_prj, m_aux;
    QString m_tempPrefix, m_tempMain, m_tempWorld, m_tempPrj, m_tempAux;
    bool m_committed = false;
};

} // namespace tavo::weaver
