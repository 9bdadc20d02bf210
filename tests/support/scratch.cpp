#include "scratch.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "paths.h"

ScratchRoot::ScratchRoot() {
    char tmpl[] = "/tmp/tarvi-XXXXXX";
    if (!mkdtemp(tmpl))
        throw std::runtime_error("mkdtemp failed");
    path_ = tmpl;
    tarvi_set_root(path_.c_str());
}

ScratchRoot::~ScratchRoot() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
}

void make_dirs(const std::string &dir) { std::filesystem::create_directories(dir); }

void ScratchRoot::write(const std::string &rel, const std::string &content) const {
    std::filesystem::path p = at(rel);
    std::filesystem::create_directories(p.parent_path());
    std::ofstream out(p, std::ios::binary | std::ios::trunc);
    out << content;
}

std::string ScratchRoot::read(const std::string &rel) const {
    std::ifstream in(at(rel), std::ios::binary);
    std::ostringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

bool ScratchRoot::exists(const std::string &rel) const { return std::filesystem::exists(at(rel)); }
