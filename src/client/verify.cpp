// Value validators. Each one is a POSIX extended regular expression, some with
// numeric checks of the fields after it. Reasons go to standard output, where
// the front ends that call us collect them.
#include "verify.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <regex.h>

#include "unique.h"

namespace {

// The body of one dotted IPv4 address; the IP and CIDR patterns are built
// from it so that they cannot drift apart.
#define IP_BODY "[0-2]{0,1}[0-9]{1,2}\\.[0-2]{0,1}[0-9]{1,2}\\.[0-2]{0,1}[0-9]{1,2}\\.[0-2]{0,1}[0-9]{1,2}"

const char IP_PATTERN[] = "^" IP_BODY "$";
const char CIDR_PATTERN[] = "^(" IP_BODY "|" IP_BODY "\\/([0-9]{1,2})"
                            "|" IP_BODY "-" IP_BODY ")$";

char regerr_prt[512];

// A private copy of `value` to cut into pieces, or null.
unique_buf copy_of(const char *value) { return unique_buf(value ? strdup(value) : nullptr); }

int verify_integer(char *value) {
    if (!value)
        return -1;
    if (*value == '-')
        value++;
    return do_verify("^[0-9]+$", value, "Integer");
}

// The decimal value of an integer text, saturated to the range of long long
// (strtoll's rule) so that no input overflows; callers compare it with int
// bounds.
long long integer_value(const char *value) { return strtoll(value, nullptr, 10); }

bool length_within(size_t len, int start, int end) {
    auto n = static_cast<long long>(len);
    return n >= start && n <= end;
}

// Splits `value` at `split` and checks each field against its bounds in
// `limits`, stopping at the first failure; the caller's pattern has already
// fixed how many fields there are.
int check_split(char *value, char split, const int (*limits)[2], int expected) {
    char *out = nullptr;
    int count = split_string(value, &out, split);
    unique_buf fields(out);
    if (count != expected)
        return -1;
    char *field = out;
    for (int i = 0; i < count; i++) {
        if (verify_range(field, limits[i][0], limits[i][1]) != 0)
            return -1;
        field += strlen(field) + 1;
    }
    return 0;
}

} // namespace

extern "C" {

int do_verify(const char *pattern, const char *value, const char *title) {
    if (!pattern || !value || !title)
        return -1;
    regex_t re;
    int rc = regcomp(&re, pattern, REG_EXTENDED | REG_NOSUB);
    if (rc != 0) {
        regerror(rc, &re, regerr_prt, sizeof regerr_prt);
        return -1;
    }
    rc = regexec(&re, value, 0, nullptr, 0);
    regfree(&re);
    if (rc == 0)
        return 0;
    printf("%s : '%s' is not a valid %s.\n", title, value, title);
    return -1;
}

int split_string(char *in_buf, char **out_buf, char split) {
    if (!out_buf)
        return -1;
    *out_buf = nullptr;
    if (!in_buf)
        return -1;
    // The fields never take more room than the text itself.
    char *out = static_cast<char *>(malloc(strlen(in_buf) + 1));
    if (!out)
        return -1;
    int count = 0;
    size_t n = 0;
    for (const char *p = in_buf; *p; p++) {
        if (*p != split) {
            out[n++] = *p;
        } else if (n > 0 && out[n - 1] != '\0') {
            out[n++] = '\0';
            count++;
        }
    }
    out[n] = '\0';
    *out_buf = out;
    return count + 1;
}

int verify_positive_number(char *value, int, int) {
    return do_verify("^[0-9]+(\\.[0-9]+)?$", value, "Positive number");
}

int verify_number(char *value, int, int) {
    if (!value)
        return -1;
    if (*value == '-')
        value++;
    return do_verify("^[0-9]+(\\.[0-9]+)?$", value, "Number");
}

int verify_range(char *value, int start, int end) {
    if (verify_integer(value) != 0)
        return -1;
    long long n = integer_value(value);
    if (n < start || n > end) {
        printf("Range : '%s' invalid range(%d ~ %d)\n", value, start, end);
        return -1;
    }
    return 0;
}

int verify_portrange(char *value, int, int) {
    if (!value)
        return -1;
    unique_buf copy = copy_of(value);
    if (!copy)
        return -1;
    char *colon = strchr(copy.get(), ':');
    if (!colon)
        return verify_range(copy.get(), 0, 65535);
    *colon = '\0';
    if (verify_range(copy.get(), 0, 65535) != 0)
        return -1;
    return verify_range(colon + 1, 0, 65535);
}

// Free text: any length in the bounds, but no control character, so that a
// value cannot add a line to whatever file or command it ends up in.
int verify_string_size(char *value, int start, int end) {
    if (!value)
        return -1;
    size_t len = strlen(value);
    if (!length_within(len, start, end)) {
        printf("String size range : '%s' invalid range(%d ~ %d)\n", value, start, end);
        return -1;
    }
    return do_verify("^[^[:cntrl:]]*$", value, "text");
}

int verify_ip_address(char *value, int, int) {
    if (do_verify(IP_PATTERN, value, "IP address") != 0)
        return -1;
    static const int limits[4][2] = {{0, 255}, {0, 255}, {0, 255}, {0, 255}};
    return check_split(value, '.', limits, 4);
}

int verify_netmask(char *value, int start, int end) {
    if (verify_ip_address(value, start, end) != 0)
        return -1;
    char *out = nullptr;
    int count = split_string(value, &out, '.');
    unique_buf fields(out);
    if (count != 4)
        return -1;
    // Ones followed by zeros: walking the 32 bits from the top, starting from
    // a one, the bit may change at most once.
    int changes = 0, previous = 1;
    const char *field = out;
    for (int i = 0; i < 4; i++) {
        long byte = strtol(field, nullptr, 10);
        for (int bit = 7; bit >= 0; bit--) {
            int b = static_cast<int>((byte >> bit) & 1);
            if (b != previous)
                changes++;
            previous = b;
        }
        field += strlen(field) + 1;
    }
    if (changes < 2)
        return 0;
    printf("Netmask : '%s' is not a valid Netmask.\n", value);
    return -1;
}

int verify_mac_address(char *value, int, int) {
    if (do_verify("^([0-9a-fA-F]{2}:){5}([0-9a-fA-F]){2}$", value, "MAC address") != 0)
        return -1;
    if (strcmp(value, "00:00:00:00:00:00") == 0) {
        printf("MAC Address : '%s' is not a valid MAC address.\n", value);
        return -1;
    }
    return 0;
}

int verify_normal_word(char *value, int, int) { return do_verify("^[A-Za-z0-9_]+$", value, "normal word"); }

int verify_ascii_exclude_comma(char *value, int start, int end) {
    if (!value)
        return -1;
    size_t len = strlen(value);
    if (!length_within(len, start, end))
        return -1;
    return do_verify("^[ -~]+$", value, "ascii word");
}

int verify_password(char *value, int, int) { return do_verify("^[A-Za-z0-9]+$", value, "Password"); }

int verify_username(char *value, int, int) {
    if (do_verify("^[a-zA-Z0-9_]{3,16}$", value, "Username") == 0)
        return 0;
    if (value) {
        size_t len = strlen(value);
        if (len < 3 || len > 16)
            printf("Username : username length should be 3~16\n");
    }
    return -1;
}

// Scheme, host, port and path, the whole value. The path takes the
// characters of addresses and queries but none that a shell would act on
// (blanks, quotes, ';', '&', '|', '$', '`', brackets, redirections) and no
// control characters.
int verify_url(char *value, int, int) {
    return do_verify("^(([A-Za-z][A-Za-z0-9+.-]*)://)?([A-Za-z0-9._@-]+)(:([0-9]+))?(/[-A-Za-z0-9._~%/:@+,=?#]*)$",
                     value, "URL");
}

// At least two dot-separated labels of letters, digits, '-' and '_', the
// whole value.
int verify_domain(char *value, int, int) {
    return do_verify("^([A-Za-z0-9][A-Za-z0-9_-]*\\.)+[A-Za-z0-9][A-Za-z0-9_-]*$", value, "Domain name");
}

int verify_domain2(char *value, int, int) {
    // Labels of letters, digits, '-' and '_'. In a POSIX bracket a backslash
    // is an ordinary character, so the hyphen goes last instead of being
    // escaped: written as backslash, '-', '_' it would be the range from the
    // backslash to '_', which refuses "my-router" and lets the backslash,
    // ']' and '^' through.
    return do_verify("^(([A-Za-z0-9][A-Za-z0-9_-]*)\\.)*([A-Za-z0-9][A-Za-z0-9_-]*)$", value, "domain");
}

int verify_cidr(char *value, int start, int end) {
    if (do_verify(CIDR_PATTERN, value, "CIDR") != 0)
        return -1;
    unique_buf copy = copy_of(value);
    if (!copy)
        return -1;
    char *text = copy.get();
    if (char *slash = strchr(text, '/')) {
        *slash = '\0';
        return verify_ip_address(text, start, end);
    }
    if (char *dash = strchr(text, '-')) {
        *dash = '\0';
        if (verify_ip_address(text, start, end) != 0)
            return -1;
        return verify_ip_address(dash + 1, start, end);
    }
    return verify_ip_address(text, start, end);
}

int verify_time(char *value, int, int) {
    if (do_verify("^([0-9]{2}:){2}([0-9]){2}$", value, "TIME") != 0)
        return -1;
    static const int limits[3][2] = {{0, 23}, {0, 59}, {0, 59}};
    return check_split(value, ':', limits, 3);
}

int verify_date(char *value, int, int) {
    if (do_verify("^([0-9]{2}-){2}([0-9]){4}$", value, "DATE") != 0)
        return -1;
    static const int limits[3][2] = {{1, 31}, {1, 12}, {2008, 3000}};
    return check_split(value, '-', limits, 3);
}

int verify_hex_text(char *value, int, int) { return do_verify("^[0-9a-fA-F]+$", value, "hex text"); }

} // extern "C"
