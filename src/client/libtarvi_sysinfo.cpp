// System information for status pages and the command line: processor and
// memory load, uptime, time, system name and the VPN session lists. Runs in
// the calling process; only the system name and the VPN client list ask the
// daemon for settings.
#include <arpa/inet.h>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <memory>
#include <net/if.h>
#include <netinet/in.h>
#include <string>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/sysinfo.h>
#include <unistd.h>
#include <utmp.h>

#include "libtarvi_private.h"
#include "paths.h"
#include "unique.h"
#include "utility.h"

namespace {

unique_file open_device_file(const char *abs) { return unique_file(fopen(tarvi_path(abs).c_str(), "re")); }

struct cpu_times {
    unsigned long long user, nice, system, idle;
};

// The first line of "/proc/stat" ("cpu user nice system idle ..."), read from
// the start of `f`.
bool read_cpu_times(FILE *f, cpu_times *t) {
    char line[256];
    if (!fgets(line, sizeof line, f))
        return false;
    return sscanf(line, "cpu %llu %llu %llu %llu", &t->user, &t->nice, &t->system, &t->idle) == 4;
}

// The leading number of a "Name: value kB" line of "/proc/meminfo" whose name
// is `name`.
bool meminfo_value(const char *line, const char *name, unsigned long long *value) {
    size_t n = strlen(name);
    return strncmp(line, name, n) == 0 && line[n] == ':' && sscanf(line + n + 1, "%llu", value) == 1;
}

// Asks interface `name` for `request` into `ifr`; false when the name does
// not fit or the interface has no such data.
bool interface_query(int sock, const char *name, unsigned long request, struct ifreq *ifr) {
    *ifr = {};
    if (strlen(name) >= sizeof ifr->ifr_name)
        return false;
    memcpy(ifr->ifr_name, name, strlen(name) + 1);
    ifr->ifr_addr.sa_family = AF_INET;
    return ioctl(sock, request, ifr) == 0;
}

// An interface's IPv4 address of kind `request` (SIOCGIFADDR, SIOCGIFDSTADDR)
// in dotted form.
bool interface_address(int sock, const char *name, unsigned long request, char *out, size_t size) {
    struct ifreq ifr;
    if (!interface_query(sock, name, request, &ifr))
        return false;
    struct sockaddr_in sin;
    memcpy(&sin, &ifr.ifr_addr, sizeof sin);
    return inet_ntop(AF_INET, &sin.sin_addr, out, static_cast<socklen_t>(size)) != nullptr;
}

bool interface_mtu(int sock, const char *name, int *mtu) {
    struct ifreq ifr;
    if (!interface_query(sock, name, SIOCGIFMTU, &ifr))
        return false;
    *mtu = ifr.ifr_mtu;
    return true;
}

// A list of "...;" entries that never outgrows the callers' buffers: an entry
// that would not fit is left out with everything after it.
class entry_list {
  public:
    // False once the list is full.
    bool add(const char *entry) {
        if (full_ || text_.size() + strlen(entry) > TARVI_VPN_LIST_SIZE - 1) {
            full_ = true;
            return false;
        }
        text_ += entry;
        return true;
    }
    void copy_to(char *out) const { memcpy(out, text_.c_str(), text_.size() + 1); }

  private:
    std::string text_;
    bool full_ = false;
};

// A fixed-width text field of a login record as a C string.
std::string record_text(const char *field, size_t size) { return std::string(field, strnlen(field, size)); }

// True when one of the NUL-separated arguments of process `pid` is `module`.
bool process_has_argument(pid_t pid, const char *module) {
    char path[64];
    snprintf(path, sizeof path, "/proc/%d/cmdline", static_cast<int>(pid));
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    char args[1024];
    ssize_t n = read(fd, args, sizeof args);
    close(fd);
    if (n <= 0)
        return false;
    std::string all(args, static_cast<size_t>(n));
    size_t start = 0;
    while (start < all.size()) {
        size_t end = all.find('\0', start);
        if (end == std::string::npos)
            end = all.size();
        if (all.compare(start, end - start, module) == 0)
            return true;
        start = end + 1;
    }
    return false;
}

// The session entry of login record `u`, or an empty text when the record
// names no live session of `module`.
std::string server_session(const struct utmp &u, int sock, const char *module, time_t now) {
    // Zero and negative ids would ask about whole process groups.
    if (u.ut_pid <= 0)
        return "";
    if (kill(u.ut_pid, 0) < 0 && (errno == ESRCH || errno == EINVAL))
        return "";
    char address[INET_ADDRSTRLEN];
    std::string line = record_text(u.ut_line, sizeof u.ut_line);
    if (!interface_address(sock, line.c_str(), SIOCGIFADDR, address, sizeof address))
        return "";
    if (!process_has_argument(u.ut_pid, module))
        return "";
    time_t login = u.ut_tv.tv_sec;
    char when[64] = "";
    if (ctime_r(&login, when))
        when[strcspn(when, "\n")] = '\0';
    long long elapsed = static_cast<long long>(now) - static_cast<long long>(login);
    char entry[512];
    snprintf(entry, sizeof entry, "%d,%s,%s,%s,%s,%d;", static_cast<int>(u.ut_pid),
             record_text(u.ut_user, sizeof u.ut_user).c_str(), record_text(u.ut_host, sizeof u.ut_host).c_str(),
             address, when, static_cast<int>(elapsed));
    return entry;
}

// "1,peer,local,mtu;" for the PPP link `unit` when it is up, else "0;".
std::string client_link(int sock, const std::string &unit) {
    std::string name = "ppp" + unit;
    char local[INET_ADDRSTRLEN], peer[INET_ADDRSTRLEN];
    int mtu = 0;
    if (sock < 0 || !interface_address(sock, name.c_str(), SIOCGIFADDR, local, sizeof local) ||
        !interface_address(sock, name.c_str(), SIOCGIFDSTADDR, peer, sizeof peer) ||
        !interface_mtu(sock, name.c_str(), &mtu))
        return "0;";
    char entry[96];
    snprintf(entry, sizeof entry, "1,%s,%s,%d;", peer, local, mtu);
    return entry;
}

} // namespace

extern "C" {

int tarvi_get_cpu_usage(void) {
    unique_file f = open_device_file("/proc/stat");
    if (!f)
        return -1;
    cpu_times before, after;
    if (!read_cpu_times(f.get(), &before))
        return -1;
    rewind(f.get());
    fflush(f.get());
    usleep(500000);
    if (!read_cpu_times(f.get(), &after))
        return -1;
    // Counters only grow; a file that went backwards cannot be measured.
    if (after.user < before.user || after.nice < before.nice || after.system < before.system ||
        after.idle < before.idle)
        return -1;
    unsigned long long busy = (after.user - before.user) + (after.nice - before.nice) + (after.system - before.system);
    unsigned long long total = busy + (after.idle - before.idle);
    // No tick went by: nothing was busy.
    if (total == 0)
        return 0;
    return static_cast<int>(100 * busy / total);
}

int tarvi_get_mem_usage(void) {
    unique_file f = open_device_file("/proc/meminfo");
    if (!f)
        return -1;
    // The three values lead the file, in this order; newer kernels put other
    // lines (MemAvailable) between them, which are passed over.
    static const char *const names[] = {"MemTotal", "MemFree", "Buffers"};
    unsigned long long values[3];
    char line[256];
    int found = 0;
    for (int lines = 0; found < 3 && lines < 8 && fgets(line, sizeof line, f.get()); lines++)
        if (meminfo_value(line, names[found], &values[found]))
            found++;
    if (found < 3)
        return -1;
    unsigned long long total = values[0], unused = values[1] + values[2];
    if (total == 0 || unused > total)
        return -1;
    return static_cast<int>(100 * (total - unused) / total);
}

int tarvi_get_uptime(int *uphours, int *upminutes, int *upseconds) {
    if (!uphours || !upminutes || !upseconds)
        return -1;
    struct sysinfo info;
    if (sysinfo(&info) < 0)
        return -1;
    long minutes = info.uptime / 60;
    *upseconds = static_cast<int>(info.uptime % 60);
    *uphours = static_cast<int>(minutes / 60);
    *upminutes = static_cast<int>(minutes % 60);
    return 0;
}

int tarvi_get_sys_time(char *sys_time) {
    if (!sys_time)
        return -1;
    time_t now = time(nullptr);
    struct tm local;
    char text[64];
    if (!localtime_r(&now, &local) || !asctime_r(&local, text))
        return -1;
    // 24 characters for every year of four digits; never more than 25 and
    // the NUL, whatever the clock says.
    size_t len = strcspn(text, "\n");
    if (len > 25)
        len = 25;
    memcpy(sys_time, text, len);
    sys_time[len] = '\0';
    return 0;
}

int tarvi_get_sys_name(char *sys_name) {
    if (!sys_name)
        return -1;
    char *value = nullptr;
    char key[] = "SYS_NAME";
    if (tarvi_get(key, &value) == 0 && value)
        snprintf(sys_name, TARVI_SYS_NAME_SIZE, "%s", value);
    else
        snprintf(sys_name, TARVI_SYS_NAME_SIZE, "%s", "WiMAX CPE Configuration Manager");
    free(value);
    return 0;
}

void tarvi_get_vpn_server_connection(char *string, int type) {
    if (!string)
        return;
    const char *module = type ? "openl2tp_logwtmp.so" : "/usr/lib/pptpd/pptpd-logwtmp.so";
    entry_list list;
    int fd = open(tarvi_path("/var/log/wtmp").c_str(), O_RDONLY | O_CLOEXEC);
    if (fd >= 0) {
        unique_fd wtmp(fd);
        unique_fd sock(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
        time_t now = time(nullptr);
        struct utmp u;
        // Whole records only; a torn one at the end is ignored.
        while (sock.get() >= 0 && read(fd, &u, sizeof u) == static_cast<ssize_t>(sizeof u)) {
            std::string entry = server_session(u, sock.get(), module, now);
            if (!entry.empty() && !list.add(entry.c_str()))
                break;
        }
    }
    list.copy_to(string);
}

void tarvi_get_vpn_client_connection(char *string, char *, char *key_number, char *key_status) {
    if (!string || !key_number)
        return;
    char *number = nullptr;
    if (tarvi_get(key_number, &number) != 0 || !number) {
        free(number);
        return;
    }
    long count = strtol(number, nullptr, 10);
    free(number);
    // A status key without a value means no profile has a link up.
    char *status = nullptr;
    if (key_status)
        tarvi_get(key_status, &status);
    std::string links = status ? status : "";
    free(status);

    entry_list list;
    unique_fd sock(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    for (long i = 1; i <= count; i++) {
        char tag[32];
        snprintf(tag, sizeof tag, "vpnc%ld,", i);
        size_t at = links.find(tag);
        std::string entry = "0;";
        if (at != std::string::npos) {
            size_t from = at + strlen(tag);
            size_t to = links.find(';', from);
            entry =
                client_link(sock.get(), links.substr(from, to == std::string::npos ? std::string::npos : to - from));
        }
        if (!list.add(entry.c_str()))
            break;
    }
    list.copy_to(string);
}

} // extern "C"
