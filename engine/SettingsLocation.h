#pragma once

#include <QString>

namespace tavo {

// Where the programs keep their "ini/" folder (config.ini, s.txt, glimpse.ini,
// weaver.ini).
//
// A program folder whose "ini/" can be written (a build folder, a portable
// copy) keeps it there, beside the executable. An installed program folder
// cannot be written by its users: the folder is then "tavo/ini/" in the
// user's configuration folder ($XDG_CONFIG_HOME, by default ~/.config),
// created when missing and given a copy of every file of the program
// folder's "ini/" that it does not hold yet, so the shipped defaults apply
// on the first start and the user's own files are never overwritten.
//
// Returns the folder with a trailing '/'. When even the user's folder cannot
// be created, the program folder's "ini/" is returned: the writes then fail
// with the usual "Unable to write to" error, where the user sees them.
//
// A folder named by the environment variable TAVO_SETTINGS_DIR (an absolute
// path; tavo's --settings option sets it for itself and the programs it
// starts) comes before both: created and seeded the same way, so a trial run
// or a demonstration keeps settings of its own and never touches the user's.
QString settingsFolder(const QString& programFolder);

inline constexpr char SettingsFolderVariable[] = "TAVO_SETTINGS_DIR";

// The folder TAVO_SETTINGS_DIR names, with a trailing '/'; empty when it is
// unset or not an absolute path.
QString chosenSettingsFolder();

// settingsFolder with the test of the program folder's "ini/" already made:
// `shippedWritable` tells whether new files can be created there.
QString settingsFolder(const QString& programFolder, bool shippedWritable);

// The user's configuration folder for the programs: $XDG_CONFIG_HOME/tavo/ini/
// (~/.config/tavo/ini/ when the variable is unset or not absolute).
QString userSettingsFolder();

} // namespace tavo
