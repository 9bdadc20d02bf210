#include "scratch.h"

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "paths.h"

ScratchRoot::ScratchRoot(size_t length) {
    char tmpl[] = "/tmp/tarvi-XXXXXX";
    if (!mkdtemp(tmpl))
        throw std::runtime_error("mkdtemp failed");
    top_ = path_ = tmpl;
    // Folders of up to 100 characters each, as deep as it takes.
    while (path_.size() < length)
        path_ += "/" + std::string(std::min<size_t>(100, std::max<size_t>(length - path_.size(), 2) - 1), 'd');
    make_dirs(path_);
    tarvi_set_root(path_.c_str());
}

ScratchRoot::~ScratchRoot() {
    std::error_code ec;
    std::filesystem::remove_all(top_, ec);
}

void make_dirs(const std::string &dir) { std::filesystem::create_directories(dir); }

void ScratchRoot::write(const std::string &rel, const std::string &content) const {
    std::filesystem::path p = at(rel);
    std::filesystem::create_directories(p.parent_path());
    std::ofstream out(p, std::ios::binary | std::ios::trunc);
    out << content;
}

std::string ScratchRoot::read(const std::string &rel) const { return read_file(at(rel)); }

std::string read_file(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

bool ScratchRoot::exists(const std::string &rel) const { return std::filesystem::exists(at(rel)); }
