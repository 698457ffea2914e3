// The host services that the sim tool needs beyond the program's own: the build links
// host_posix.cpp or host_win32.cpp.
#pragma once
#include <string>

// The characters that end a directory in a path.
extern const char host_path_separators[];

bool host_stdout_is_console();
// Whether a new file can be made, and renamed, in DIR; if not, why.
bool host_can_write_in(const std::string& dir, std::string& error);
// Gives the new file FD the mode that a file created with the process's defaults has.
void host_default_mode(int fd);
// Puts FROM in TO's place in one step, whether or not TO exists.
bool host_replace_file(const std::string& from, const std::string& to);
