// Where the page is written: the checks before the reading starts, and the
// writing at the end.
#pragma once

#include <string>
#include <vector>

// Throws std::invalid_argument, saying why, when the page may not be
// written to `path`. The page never
// replaces an input (by name, or the same file by another name or on
// standard input, "-"), nor an existing file that is no page of this
// program: in `--html trace.txt` with no other name the trace's name was
// taken for the page's, and standard input would be read instead.
void check_page_path(const std::string &path, const std::vector<std::string> &inputs);

// Writes the page to `path`; 0, or the error number.
int write_page(const std::string &path, const std::string &page);

// Whether two stats name one file.
struct stat;
bool same_file(const struct stat &a, const struct stat &b);
