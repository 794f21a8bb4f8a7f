// The per-user data folder the server keeps its run history in, and the file moves its database needs.
#pragma once

#include <string>

// The history database's full path, UTF-8 (what the database library opens
// on both systems): ${XDG_DATA_HOME:-~/.local/share}/Zandrel/Pellick/history.sqlite3
// on POSIX, %LOCALAPPDATA%\Zandrel\Pellick\history.sqlite3 on Windows. Empty
// when the system names no such folder.
std::string HistoryDatabasePath();
// Creates the folder holding path (and its parents) when missing. 1 when it exists afterwards.
int MakeParentFolders(const std::string &path);
// Renames from to to (UTF-8 paths), replacing nothing that exists. 1 on success.
int MoveFileAside(const std::string &from, const std::string &to);
// Whether a file or folder exists at path.
bool PathExists(const std::string &path);
