// The per-user data folder the server keeps its run history in, and the folder and file calls its private files need.
#pragma once

#include <string>

// The history database's full path, UTF-8 (what the database library opens
// on both systems): history.sqlite3 in the product folder (product_folder.h)
// under ${XDG_DATA_HOME:-~/.local/share} on POSIX, %LOCALAPPDATA% on Windows. Empty
// when the system names no such folder.
std::string HistoryDatabasePath();
// Creates the folder holding path (and its parents) when missing. On POSIX
// each folder made gets mode 0700 whatever the umask, and the folder holding
// path (this program's own) loses any group and other access it had.
// 1 when it exists afterwards.
int MakeParentFolders(const std::string &path);
// Keeps the file at path its user's alone: on POSIX a file of this user's
// loses any group and other access; with create a missing one is made empty
// with mode 0600, whatever the umask. On Windows nothing is done: the file
// lives in the user's own profile. 1 when the file is private (or, without
// create, missing) afterwards.
int KeepFilePrivate(const std::string &path, bool create);
// Renames from to to (UTF-8 paths), replacing nothing that exists. 1 on success.
int MoveFileAside(const std::string &from, const std::string &to);
// Whether a file or folder exists at path.
bool PathExists(const std::string &path);
