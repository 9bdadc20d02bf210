#include "device.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <stdexcept>
#include <unistd.h>
#include <vector>

#include "partition.h"

namespace {
// A partition file's bytes, read no further than one byte past the partition
// size (a test may have put a device that never ends in its place).
std::string read_partition(const ScratchRoot &root, const std::string &label) {
    std::string out(DEVICE_PARTITION_SIZE + 1, '\0');
    FILE *f = fopen(root.at(device_partition(label)).c_str(), "rb");
    if (!f)
        return "";
    out.resize(fread(out.data(), 1, out.size(), f));
    fclose(f);
    return out;
}

// The image of the one configuration file at `path`, built as the firmware
// build does.
std::string image_of_file(const std::string &path) {
    const char *files[] = {path.c_str()};
    char *img = nullptr;
    if (partition_pack_cfg_files(files, 1, DEVICE_PARTITION_SIZE - PARTITION_TAIL_SIZE, &img) < 0)
        throw std::runtime_error("can not build an image of " + path);
    std::string out(img, cfgpack_get32(img + 4));
    free(img);
    return out;
}

const char *const LABELS[3] = {"FactoryConfig", "ConfigPack1", "ConfigPack2"};
const char *const DEVICES[3] = {"mmcblk0p5", "mmcblk0p6", "mmcblk0p7"};
} // namespace

std::string device_partition(const std::string &label) {
    for (int i = 0; i < 3; ++i) {
        if (label == LABELS[i])
            return std::string("/dev/") + DEVICES[i];
    }
    throw std::invalid_argument("no partition labelled " + label);
}

std::string empty_image() {
    char *img = nullptr;
    struct list none;
    list_init(&none);
    if (partition_pack_containers(&none, nullptr, 0, CFGPACK_HEADER_SIZE, &img) < 0)
        throw std::runtime_error("can not build an empty image");
    std::string out(img, CFGPACK_HEADER_SIZE);
    free(img);
    return out;
}

void lay_partition(const ScratchRoot &root, const std::string &label, const std::string &image, unsigned serial) {
    char tail[PARTITION_TAIL_SIZE];
    partition_make_tail(tail, serial != PARTITION_NO_SERIAL, serial);
    std::vector<char> part(DEVICE_PARTITION_SIZE);
    if (partition_layout(image.empty() ? nullptr : image.data(), DEVICE_PARTITION_SIZE, tail, part.data()) < 0)
        throw std::runtime_error("image does not fit a partition");
    root.write(device_partition(label), std::string(part.data(), part.size()));
}

void lay_device(const ScratchRoot &root, const std::string &defaults) {
    root.write("/usr/cfg/system.cfg", defaults);
    root.write("/usr/cfg/default.bin", image_of_file(root.at("/usr/cfg/system.cfg")));

    lay_partition(root, "FactoryConfig", empty_image());
    lay_partition(root, "ConfigPack1", "");
    lay_partition(root, "ConfigPack2", "");
    make_dirs(root.at("/dev/disk/by-partlabel"));
    std::string proc = "major minor  #blocks  name\n\n";
    for (const char *label : LABELS) {
        std::string link = root.at(std::string("/dev/disk/by-partlabel/") + label);
        std::string target = "../.." + device_partition(label).substr(4);
        unlink(link.c_str());
        if (symlink(target.c_str(), link.c_str()) != 0)
            throw std::runtime_error("can not link " + link);
        proc += " 179        5        " + std::to_string(DEVICE_PARTITION_SIZE / 1024) + " " +
                device_partition(label).substr(5) + "\n";
    }
    root.write("/proc/partitions", proc);

    make_dirs(root.at("/var/run"));
    make_dirs(root.at("/mnt/tarvi"));
    make_dirs(root.at("/tmp/sc/tree0"));
    make_dirs(root.at("/tmp/sc/tree1"));
}

std::string image_of(const ScratchRoot &root, const std::string &name, const std::string &text) {
    std::string rel = "/tmp/image-src/" + name;
    root.write(rel, text);
    std::string out = image_of_file(root.at(rel));
    std::filesystem::remove_all(root.at("/tmp/image-src"));
    return out;
}

unsigned partition_serial_of(const ScratchRoot &root, const std::string &label) {
    std::string part = read_partition(root, label);
    if (part.size() != DEVICE_PARTITION_SIZE)
        return PARTITION_NO_SERIAL;
    const char *tail = part.data() + part.size() - PARTITION_TAIL_SIZE;
    return cfgpack_get32(tail + 8) == PARTITION_TAIL_MAGIC ? cfgpack_get32(tail + 12) : PARTITION_NO_SERIAL;
}

std::string partition_text(const ScratchRoot &root, const std::string &label) {
    std::string part = read_partition(root, label);
    if (part.size() != DEVICE_PARTITION_SIZE)
        return "";
    std::vector<char> img(part.begin(), part.end() - PARTITION_TAIL_SIZE);
    if (partition_check_cfgpack_len(img.data(), img.size()) < 0)
        return "";
    std::string out;
    uint32_t n = cfgpack_get32(img.data() + 8) / CFGPACK_ENTRY_SIZE;
    for (uint32_t i = 0; i < n; ++i) {
        struct cfgpack_entry e;
        cfgpack_read_entry(img.data(), i, &e);
        const char *key, *value;
        if (e.type == ENTRY_CONFIG && cfgpack_config_line(img.data(), img.size(), &e, &key, &value))
            out += std::string(key) + "=" + value + "\n";
    }
    return out;
}

std::string stored_text(const ScratchRoot &root) {
    unsigned s1 = partition_serial_of(root, "ConfigPack1"), s2 = partition_serial_of(root, "ConfigPack2");
    if (s1 == PARTITION_NO_SERIAL && s2 == PARTITION_NO_SERIAL)
        return "";
    bool first = s2 == PARTITION_NO_SERIAL || (s1 != PARTITION_NO_SERIAL && s1 > s2);
    return partition_text(root, first ? "ConfigPack1" : "ConfigPack2");
}
