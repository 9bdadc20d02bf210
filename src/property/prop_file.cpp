#include "prop_file.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include "paths.h"
#include "prop_db.h"
#include "prop_debug.h"
#include "prop_svc.h"
#include "unique.h"
#include "utility.h"

namespace {

const char RC_DIR[] = "/";
const char *const PROP_FILES[] = {"/default.prop", "/system/build.prop", "/vendor/build.prop", "/factory/factory.prop",
                                  "/data/local.prop"};
const char SERVICE_WORD[] = "service ";
const char ON_PROPERTY[] = "on property:";
// One read of an rc file: at most 254 characters of a line.
constexpr int RC_READ_SIZE = 255;

// Numbers the temporary files of persistent writes.
unsigned int persist_temp_counter;

// Set while the property files are loaded: a "persist." line of such a file
// is not written back, or it would replace the value saved before, which
// the load of the saved properties sets right after.
bool loading_files;

bool is_blank(char c) { return c == ' ' || c == '\t'; }
bool is_space(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r'; }

// The trigger whose command lines follow.
struct rc_section {
    bool open = false;
    std::string file, key, value;
};

void load_service_line(const char *file, const char *line) {
    const char *p = line + strlen(SERVICE_WORD);
    while (is_blank(*p))
        ++p;
    const char *name = p;
    while (*p && !is_blank(*p))
        ++p;
    size_t name_len = static_cast<size_t>(p - name);
    const char *failure = nullptr;
    if (!*p) {
        PROP_LOG(PROP_DEBUG_FAIL, "Wrong line...key:%s line:%s \n", name, line);
        failure = line;
    } else if (name_len >= PROP_SVC_KEY_SIZE) {
        PROP_LOG(PROP_DEBUG_FAIL, "Wrong key len:%d line:%s \n", static_cast<int>(name_len), line);
        failure = line;
    }
    while (!failure && is_blank(*p))
        ++p;
    if (!failure && strlen(p) >= PROP_SVC_LINE_SIZE) {
        PROP_LOG(PROP_DEBUG_FAIL, "Wrong value len:%d line:%s \n", static_cast<int>(strlen(p)), line);
        failure = line;
    }
    if (failure) {
        PROP_LOG(PROP_DEBUG_FAIL, "Unable to parse the name %s\n\n", line);
        return;
    }
    std::string key(name, name_len);
    PROP_LOG(PROP_DEBUG_TRACE, " line:%s key:%s value:%s \n", line, key.c_str(), p);
    PROP_LOG(PROP_DEBUG_TRACE, " service! name:%s daemon:%s \n", key.c_str(), p);
    struct prop_svc_t item = {};
    snprintf(item.svc_name, sizeof item.svc_name, "%s", file);
    memcpy(item.svc_key, key.c_str(), key.size() + 1);
    item.svc_type = PROP_SVC_TYPE_SERVICE;
    if (prop_svc_add(&item) != 0) {
        PROP_LOG(PROP_DEBUG_FAIL, "Unable to add the on property\n");
        return;
    }
    if (prop_svc_add_act(PROP_SVC_TYPE_SERVICE, file, key.c_str(), nullptr, p) != 0)
        PROP_LOG(PROP_DEBUG_FAIL, "Unable to add the property\n");
}

// Parses a trigger line; on success it becomes the open section.
void load_trigger_line(const char *file, const char *line, rc_section *section) {
    section->open = false;
    const char *colon = line + strlen(ON_PROPERTY) - 1;
    const char *p = colon + 1;
    bool ok = false;
    std::string key, value;
    // ":a=" is long enough to be refused for its missing value below.
    if (strlen(colon) < 3) {
        PROP_LOG(PROP_DEBUG_FAIL, "Wrong line len:%d Line:%s \n", static_cast<int>(strlen(colon)), line);
    } else {
        while (is_blank(*p))
            ++p;
        const char *eq = strchr(p, '=');
        if (!eq) {
            PROP_LOG(PROP_DEBUG_FAIL, "Wrong line without '=' line:%s Line:%s \n", p, line);
        } else {
            const char *end = eq;
            while (end > p && is_blank(end[-1]))
                --end;
            const char *v = eq + 1;
            if (end == p) {
                PROP_LOG(PROP_DEBUG_FAIL, "Wrong line...2...Line:%s \n", line);
            } else if (!*v) {
                PROP_LOG(PROP_DEBUG_FAIL, "Wrong line...3...value:%s \n", eq);
            } else {
                while (is_blank(*v))
                    ++v;
                size_t klen = static_cast<size_t>(end - p);
                size_t vlen = strnlen(v, PROP_VALUE_MAX);
                if (klen + vlen > PROP_VALUE_MAX) {
                    PROP_LOG(PROP_DEBUG_FAIL, "Wrong value or length. key_len:%d value_len:%d value:%s \n",
                             static_cast<int>(klen), static_cast<int>(vlen), v);
                } else if (klen >= PROP_SVC_KEY_SIZE) {
                    // A name the registry cannot hold.
                    PROP_LOG(PROP_DEBUG_FAIL, "Wrong key len:%d line:%s \n", static_cast<int>(klen), line);
                } else {
                    key.assign(p, klen);
                    value.assign(v, vlen);
                    ok = true;
                }
            }
        }
    }
    if (!ok) {
        PROP_LOG(PROP_DEBUG_FAIL, "Unable to parse the name %s \n", line);
        return;
    }
    PROP_LOG(PROP_DEBUG_TRACE, " End. key:%s value:%s line_buf:%s \n", key.c_str(), value.c_str(), line);
    PROP_LOG(PROP_DEBUG_TRACE, " onproperty!line_buf:%s key:%s value:%s \n", line, key.c_str(), value.c_str());
    struct prop_svc_t item = {};
    snprintf(item.svc_name, sizeof item.svc_name, "%s", file);
    memcpy(item.svc_key, key.c_str(), key.size() + 1);
    memcpy(item.svc_value, value.c_str(), value.size() + 1);
    item.svc_type = PROP_SVC_TYPE_TRIGGER;
    if (prop_svc_add(&item) != 0) {
        PROP_LOG(PROP_DEBUG_FAIL, "Unable to add the onproperty\n");
        return;
    }
    section->open = true;
    section->file = file;
    section->key = key;
    section->value = value;
}

void load_command_line(const char *line, const rc_section &section) {
    if (!section.open) {
        PROP_LOG(PROP_DEBUG_TRACE, "Wrong command, because of no prefix. Line:%s \n", line);
        return;
    }
    const char *p = line;
    while (is_blank(*p))
        ++p;
    if (strlen(p) >= PROP_SVC_LINE_SIZE) {
        PROP_LOG(PROP_DEBUG_FAIL, "Action length exceed MAX %s \n", p);
        return;
    }
    if (prop_svc_add_act(PROP_SVC_TYPE_TRIGGER, section.file.c_str(), section.key.c_str(), section.value.c_str(), p) !=
        0)
        PROP_LOG(PROP_DEBUG_FAIL, "Can not add the action.name:%s %s \n", section.key.c_str(), p);
}

void load_rc_file(const char *name, const std::string &path) {
    PROP_LOG_AS(PROP_DEBUG_TRACE, "_prop_file_load_dir_svc", " Begin parse the line. file-name:%s \n", name);
    // Only regular files: a pipe or a device with a matching name would hold
    // the property thread forever.
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    struct stat st;
    if (fd >= 0 && (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode))) {
        close(fd);
        fd = -1;
        errno = EINVAL;
    }
    unique_file f(fd >= 0 ? fdopen(fd, "r") : nullptr);
    if (fd >= 0 && !f)
        close(fd);
    if (!f) {
        PROP_LOG_AS(PROP_DEBUG_FAIL, "_prop_file_load_dir_svc", "Unable to open default file %s errno: %d\n\n",
                    path.c_str(), errno);
        return;
    }
    rc_section section;
    char line[RC_READ_SIZE];
    // True while the pieces of an over-long line are passing by.
    bool skipping = false;
    for (;;) {
        // Cleared first, so that a newline found anywhere in the buffer was
        // read now, even after a NUL byte inside the line.
        memset(line, 0, sizeof line);
        if (!fgets(line, sizeof line, f.get()))
            break;
        bool whole = memchr(line, '\n', sizeof line) != nullptr || feof(f.get());
        if (skipping) {
            skipping = !whole;
            continue;
        }
        if (!whole) {
            // The tail of a line must never be read as a line of its own: a
            // piece of a long comment would become a command. Comments may
            // be as long as they like; anything else cannot be held.
            skipping = true;
            const char *start = line;
            while (is_blank(*start))
                ++start;
            if (*start != '#') {
                PROP_LOG_AS(PROP_DEBUG_FAIL, "_prop_file_load_dir_svc", "Line longer than %d characters skipped: %s\n",
                            RC_READ_SIZE - 1, line);
                if (_prop_file_parse_svc_type(line) != svc_cmd_type_command)
                    section.open = false;
            }
            continue;
        }
        size_t len = strlen(line);
        PROP_LOG_AS(PROP_DEBUG_TRACE, "_prop_file_load_dir_svc", " line:%s len:%d\n", line, static_cast<int>(len));
        while (len > 0 && is_space(line[len - 1]))
            line[--len] = '\0';
        const char *first = line;
        while (is_blank(*first))
            ++first;
        if (*first == '#')
            continue;
        prop_file_svc_cmd_t type = _prop_file_parse_svc_type(line);
        PROP_LOG_AS(PROP_DEBUG_TRACE, "_prop_file_load_dir_svc", " line_buf:%s len:%d command_type:%d \n", line,
                    static_cast<int>(len), type);
        switch (type) {
        case svc_cmd_type_service:
            load_service_line(name, line);
            section.open = false; // a service is one line
            break;
        case svc_cmd_type_onproperty:
            load_trigger_line(name, line, &section);
            break;
        case svc_cmd_type_command:
            load_command_line(line, section);
            break;
        default:
            section.open = false;
            break;
        }
    }
    PROP_LOG_AS(PROP_DEBUG_TRACE, "_prop_file_load_dir_svc", " File end. \n");
}

void load_persistent_dir(prop_file_set_fn set) {
    const char *label = "_prop_file_load_dir_persistent";
    PROP_LOG_AS(PROP_DEBUG_TRACE, label, " Begin. \n");
    std::string dir = tarvi_path(PROP_FILE_PERSIST_DIR);
    unique_dir d(opendir(dir.c_str()));
    if (!d) {
        PROP_LOG_AS(PROP_DEBUG_FAIL, label, "Unable to open persistent property directory %s errno: %d\n\n",
                    dir.c_str(), errno);
        return;
    }
    const size_t prefix_len = strlen("persist.");
    while (struct dirent *entry = readdir(d.get())) {
        if (strncmp(entry->d_name, "persist.", prefix_len) != 0)
            continue;
        PROP_LOG_AS(PROP_DEBUG_TRACE, label, " persist.* file. file:%s \n", entry->d_name);
        std::string path = dir + "/" + entry->d_name;
        unique_fd fd(open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK));
        if (fd.get() < 0) {
            PROP_LOG_AS(PROP_DEBUG_FAIL, label, "Unable to open persistent property file. %s errno: %d \n",
                        path.c_str(), errno);
            continue;
        }
        char value[PROP_VALUE_SIZE];
        ssize_t n;
        do {
            n = read(fd.get(), value, PROP_VALUE_MAX);
        } while (n < 0 && errno == EINTR);
        if (n < 0) {
            PROP_LOG_AS(PROP_DEBUG_FAIL, label, "Unable to read persistent property file %s errno: %d\n\n",
                        path.c_str(), errno);
            continue;
        }
        value[n] = '\0';
        set(entry->d_name, value);
        PROP_LOG_AS(PROP_DEBUG_TRACE, label, " name:%s value:%s \n", entry->d_name, value);
    }
    PROP_LOG_AS(PROP_DEBUG_TRACE, label, " End. \n");
}

// Creates `dir` (an actual path) and its missing parents. Returns 0 or -1.
int make_dirs(const std::string &dir) {
    for (size_t at = 1; at <= dir.size(); ++at) {
        if (at != dir.size() && dir[at] != '/')
            continue;
        std::string part = dir.substr(0, at);
        if (mkdir(part.c_str(), 0755) != 0 && errno != EEXIST)
            return -1;
    }
    struct stat st;
    return stat(dir.c_str(), &st) == 0 && S_ISDIR(st.st_mode) ? 0 : -1;
}

// True when `path` holds exactly `len` bytes equal to `value`.
bool file_holds(const std::string &path, const char *value, size_t len) {
    unique_fd fd(open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK));
    if (fd.get() < 0)
        return false;
    char buf[PROP_VALUE_SIZE + 1];
    ssize_t n = read(fd.get(), buf, sizeof buf);
    return n >= 0 && static_cast<size_t>(n) == len && memcmp(buf, value, len) == 0;
}

} // namespace

prop_file_svc_cmd_t _prop_file_parse_svc_type(const char *line) {
    if (strncmp(line, ON_PROPERTY, strlen(ON_PROPERTY)) == 0)
        return svc_cmd_type_onproperty;
    if (strncmp(line, SERVICE_WORD, strlen(SERVICE_WORD)) == 0)
        return svc_cmd_type_service;
    if (strncmp(line, "    ", 4) == 0 && line[4] && !is_blank(line[4]))
        return svc_cmd_type_command;
    return svc_cmd_type_others;
}

void prop_file_load_svc(void) {
    const char *label = "_prop_file_load_dir_svc";
    PROP_LOG_AS(PROP_DEBUG_TRACE, label, " Begin. \n");
    std::string dir = tarvi_path(RC_DIR);
    unique_dir d(opendir(dir.c_str()));
    if (!d) {
        PROP_LOG_AS(PROP_DEBUG_FAIL, label, "Unable to open default property directory %s errno: %d\n", dir.c_str(),
                    errno);
        return;
    }
    while (struct dirent *entry = readdir(d.get())) {
        if (!strstr(entry->d_name, ".rc"))
            continue;
        load_rc_file(entry->d_name, tarvi_path((std::string("/") + entry->d_name).c_str()));
    }
    PROP_LOG_AS(PROP_DEBUG_TRACE, label, " Directory end. \n");
}

char *_prop_file_read_file(const char *path, unsigned int *size) {
    std::string actual = tarvi_path(path);
    unique_fd fd(open(actual.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
    off_t end = fd.get() < 0 ? -1 : lseek(fd.get(), 0, SEEK_END);
    if (end < 0 || end > PROP_FILE_SIZE_MAX || lseek(fd.get(), 0, SEEK_SET) != 0) {
        PROP_LOG(PROP_DEBUG_FAIL, "... :%s \n", path);
        return nullptr;
    }
    size_t len = static_cast<size_t>(end);
    unique_buf data(static_cast<char *>(malloc(len + 2)));
    if (!data || !transfer_all(data.get(), len, [&](char *b, size_t n) { return read(fd.get(), b, n); })) {
        PROP_LOG(PROP_DEBUG_FAIL, "... :%s \n", path);
        return nullptr;
    }
    data.get()[len] = '\n';
    data.get()[len + 1] = '\0';
    if (size)
        *size = static_cast<unsigned int>(len + 1);
    return data.release();
}

void _prop_file_load_props_file(const char *path, prop_file_set_fn set) {
    unique_buf data(_prop_file_read_file(path, nullptr));
    if (!data) {
        PROP_LOG(PROP_DEBUG_FAIL, "Unable to read file data. File:%s \n", path);
        return;
    }
    char *line = data.get();
    while (char *nl = strchr(line, '\n')) {
        *nl = '\0';
        char *next = nl + 1;
        while (is_space(*line))
            ++line;
        char *end = line + strlen(line);
        while (end > line && is_space(end[-1]))
            *--end = '\0';
        char *eq = *line == '#' ? nullptr : strchr(line, '=');
        if (eq) {
            char *name_end = eq;
            while (name_end > line && is_space(name_end[-1]))
                --name_end;
            *name_end = '\0';
            char *value = eq + 1;
            while (is_space(*value))
                ++value;
            set(line, value);
        }
        line = next;
    }
}

void prop_file_load_props(prop_file_set_fn set) {
    loading_files = true;
    for (const char *path : PROP_FILES)
        _prop_file_load_props_file(path, set);
    load_persistent_dir(set);
    loading_files = false;
}

int prop_file_write_persistent(const char *name, const char *value) {
    PROP_LOG(PROP_DEBUG_TRACE, " Begin. name:%s value:%s \n", name ? name : "", value ? value : "");
    // The name becomes a file name in the folder: nothing that leaves it.
    if (!name || !value || !*name || strchr(name, '/') || strcmp(name, ".") == 0 || strcmp(name, "..") == 0)
        return -1;
    if (loading_files)
        return 0;
    std::string dir = tarvi_path(PROP_FILE_PERSIST_DIR);
    std::string final_path = dir + "/" + name;
    size_t len = strlen(value);
    // Loading rewrites every persistent property with the value it just
    // read; an unchanged file is left alone to spare the flash.
    if (file_holds(final_path, value, len)) {
        PROP_LOG(PROP_DEBUG_TRACE, " End. \n");
        return 0;
    }
    if (make_dirs(dir) != 0) {
        PROP_LOG(PROP_DEBUG_FAIL, "Unable to create persistent property directory %s errno: %d \n", dir.c_str(), errno);
        return -1;
    }
    std::string temp = dir + "/.temp." + std::to_string(++persist_temp_counter);
    int fd = open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0644);
    if (fd < 0) {
        PROP_LOG(PROP_DEBUG_FAIL, "Unable to write persistent property file %s errno: %d \n", temp.c_str(), errno);
        return -1;
    }
    // The bytes reach the flash before the rename makes them the value: after
    // a power cut the file holds the old value or the new one, never a torn one.
    bool ok = transfer_all(value, len, [&](const char *b, size_t n) { return write(fd, b, n); }) && fsync(fd) == 0;
    ok = (close(fd) == 0) && ok;
    if (!ok) {
        PROP_LOG(PROP_DEBUG_FAIL, "Unable to write persistent property file %s errno: %d \n", temp.c_str(), errno);
        unlink(temp.c_str());
        return -1;
    }
    if (rename(temp.c_str(), final_path.c_str()) != 0) {
        PROP_LOG(PROP_DEBUG_FAIL, "Unable to rename persistent property file %s to %s \n", temp.c_str(),
                 final_path.c_str());
        unlink(temp.c_str());
        return -1;
    }
    unique_fd dfd(open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (dfd.get() >= 0)
        fsync(dfd.get());
    PROP_LOG(PROP_DEBUG_TRACE, " End. \n");
    return 0;
}
