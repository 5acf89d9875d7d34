#pragma once
// Files and archives the update tests read, write and publish.
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "host/update/update_archive.hpp"

namespace tavlo::testkit {

inline std::string readFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

inline void writeFile(const std::filesystem::path& path, const std::string& text) {
  std::ofstream(path, std::ios::binary) << text;
}

// A well-formed update: the program, its build file and a file in a sub-folder.
inline const std::vector<UpdateArchiveFile> goodFiles = {
    {"tavlo-host", true, "new program"}, {"tavlo-build", false, "8"}, {"share/readme.txt", false, "hello"}};

}  // namespace tavlo::testkit
