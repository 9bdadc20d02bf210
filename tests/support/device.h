// Lays out a device in a sandbox so that a real tarvid starts on it.
#ifndef TARVI_TEST_DEVICE_H
#define TARVI_TEST_DEVICE_H

#include <string>

#include "scratch.h"

// Gives the device `defaults` (key=value lines) as its firmware defaults, in
// one container named "system.cfg", and creates the folders the daemon works
// in. The storage is laid out as on a device: the firmware default image
// "/usr/cfg/default.bin", a factory partition with an empty image, two empty
// user partitions, all linked by label, and "/proc/partitions". Tests that
// only need a running daemon with some flat settings use this and nothing
// else, so they do not depend on how the storage backend keeps its files.
void lay_device(const ScratchRoot &root, const std::string &defaults);

// Size of the sandbox partitions.
constexpr unsigned DEVICE_PARTITION_SIZE = 262144;

// Device path ("/dev/mmcblk0p5", ...) of the partition labelled `label`
// ("FactoryConfig", "ConfigPack1", "ConfigPack2").
std::string device_partition(const std::string &label);

// Writes a whole partition file for `label`: `image` (may be empty) at the
// start, 0xFF up to the tail, and a user tail with `serial` or, with serial
// 0xFFFFFFFF, a tail that marks no image.
void lay_partition(const ScratchRoot &root, const std::string &label, const std::string &image,
                   unsigned serial = 0xFFFFFFFFu);

// The image bytes of a valid header-only image.
std::string empty_image();

// A bare image with one container `name` holding the key=value lines of
// `text`, built as the firmware build does.
std::string image_of(const ScratchRoot &root, const std::string &name, const std::string &text);

// The serial number in the tail of the partition labelled `label`, or
// 0xFFFFFFFF when it holds no user image.
unsigned partition_serial_of(const ScratchRoot &root, const std::string &label);

// "key=value\n" for every config entry of the image in the partition labelled
// `label`, in image order; empty when it holds no valid image.
std::string partition_text(const ScratchRoot &root, const std::string &label);

// partition_text of the user partition with the highest serial number.
std::string stored_text(const ScratchRoot &root);

#endif
