// Validators: results and the exact reasons they print.
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <gtest/gtest.h>
#include <string>
#include <vector>

#include "libtarvi.h"

namespace {

typedef int (*validator)(char *, int, int);

struct outcome {
    int rc;
    std::string said;
};

outcome check(validator v, const std::string &value, int start = 0, int end = 0) {
    std::vector<char> text(value.begin(), value.end());
    text.push_back('\0');
    testing::internal::CaptureStdout();
    int rc = v(text.data(), start, end);
    std::string said = testing::internal::GetCapturedStdout();
    EXPECT_EQ(value, std::string(text.data())) << "a validator changed its input";
    return {rc, said};
}

void accepts(validator v, const std::string &value, int start = 0, int end = 0) {
    outcome o = check(v, value, start, end);
    EXPECT_EQ(0, o.rc) << "'" << value << "' refused: " << o.said;
    EXPECT_EQ("", o.said) << value;
}

// The usual refusal: "<title> : '<value>' is not a valid <title>."
std::string not_valid(const std::string &title, const std::string &value) {
    return title + " : '" + value + "' is not a valid " + title + ".\n";
}

std::vector<std::string> fields_of(const char *text, char split, int *count) {
    char *out = nullptr;
    std::vector<char> in(text, text + strlen(text) + 1);
    *count = split_string(in.data(), &out, split);
    std::vector<std::string> fields;
    const char *p = out;
    for (int i = 0; i < *count; i++) {
        fields.emplace_back(p);
        p += strlen(p) + 1;
    }
    free(out);
    return fields;
}

} // namespace

// Examples of each validator: the result, and the exact reason printed.
TEST(Verify, ExamplesAndTheirReasons) {
    auto range = [](const std::string &v, const char *bounds) {
        return "Range : '" + v + "' invalid range(" + bounds + ")\n";
    };
    const std::string big = "99999999999999999999999", username = "Username : username length should be 3~16\n";
    struct Row {
        validator v;
        std::string value;
        int rc;
        std::string said;
        int start = 0, end = 0;
    } rows[] = {
        {verify_positive_number, "-3.5", -1, not_valid("Positive number", "-3.5")},
        {verify_positive_number, "0.25", 0, ""},
        {verify_positive_number, "1.", -1, not_valid("Positive number", "1.")},
        {verify_number, "", -1, not_valid("Number", "")},
        {verify_range, "-5", 0, "", -10, 0},
        {verify_range, "0010", 0, "", 0, 10},
        {verify_range, "11", -1, range("11", "0 ~ 10"), 0, 10},
        // The sign is skipped before the integer pattern, so the reason
        // quotes what was matched.
        {verify_range, "-x", -1, not_valid("Integer", "x"), 0, 10},
        // Far beyond any int: refused by the bound, never wrapped into it.
        {verify_range, big, -1, range(big, "0 ~ 10"), 0, 10},
        {verify_range, "4294967301", -1, range("4294967301", "0 ~ 10"), 0, 10},
        {verify_portrange, "65535", 0, ""},
        {verify_portrange, "65536", -1, range("65536", "0 ~ 65535")},
        {verify_portrange, "80:", -1, not_valid("Integer", "")},
        {verify_portrange, "1:2:3", -1, not_valid("Integer", "2:3")},
        {verify_string_size, "abc", 0, "", 0, 3},
        {verify_string_size, "abcd", -1, "String size range : 'abcd' invalid range(0 ~ 3)\n", 0, 3},
        {verify_string_size, "", 0, "", -1, 0},
        {verify_string_size, "a\nb", -1, not_valid("text", "a\nb"), 0, 3},
        {verify_ascii_exclude_comma, "a, b ~", 0, "", 1, 10},
        {verify_ascii_exclude_comma, "too long", -1, "", 1, 4},
        {verify_ascii_exclude_comma, "", -1, not_valid("ascii word", ""), 0, 20},
        {verify_normal_word, "wan-1", -1, not_valid("normal word", "wan-1")},
        {verify_hex_text, "0x1F", -1, not_valid("hex text", "0x1F")},
        {verify_username, "ab", -1, not_valid("Username", "ab") + username},
        {verify_username, std::string(17, 'a'), -1, not_valid("Username", std::string(17, 'a')) + username},
        {verify_ip_address, "010.0.0.1", 0, ""},
        {verify_ip_address, "256.1.1.1", -1, range("256", "0 ~ 255")},
        {verify_ip_address, "1.2.3", -1, not_valid("IP address", "1.2.3")},
        {verify_netmask, "0.0.0.0", 0, ""},
        {verify_netmask, "255.255.255.255", 0, ""},
        {verify_netmask, "255.255.128.0", 0, ""},
        {verify_netmask, "255.0.255.0", -1, not_valid("Netmask", "255.0.255.0")},
        {verify_netmask, "0.255.255.255", -1, not_valid("Netmask", "0.255.255.255")},
        {verify_netmask, "255.255.255.256", -1, range("256", "0 ~ 255")},
        {verify_mac_address, "00:00:00:00:00:00", -1,
         "MAC Address : '00:00:00:00:00:00' is not a valid MAC address.\n"},
        {verify_mac_address, "00-1A-2B-3C-4D-5E", -1, not_valid("MAC address", "00-1A-2B-3C-4D-5E")},
        {verify_cidr, "10.0.0.9-10.0.0.1", 0, ""},
        {verify_cidr, "10.0.0.1", 0, ""},
        {verify_cidr, "10.0.0.0/99", 0, ""},
        {verify_cidr, "10.0.0.0/100", -1, not_valid("CIDR", "10.0.0.0/100")},
        {verify_cidr, "299.0.0.0/8", -1, range("299", "0 ~ 255")},
        {verify_cidr, "10.0.0.1-10.0.0.299", -1, range("299", "0 ~ 255")},
        {verify_url, "http://example.org:8080/index.html", 0, ""},
        {verify_url, "example.org/", 0, ""},
        {verify_url, "http://example.org", -1, not_valid("URL", "http://example.org")},
        {verify_url, "http://x/\nrm -rf /", -1, not_valid("URL", "http://x/\nrm -rf /")},
        {verify_domain, "evil;reboot #a.b", -1, not_valid("Domain name", "evil;reboot #a.b")},
        {verify_domain, "localhost", -1, not_valid("Domain name", "localhost")},
        {verify_domain, "example.", -1, not_valid("Domain name", "example.")},
        {verify_domain2, "localhost", 0, ""},
        {verify_domain2, "-bad.org", -1, not_valid("domain", "-bad.org")},
        {verify_domain2, "a..b", -1, not_valid("domain", "a..b")},
        {verify_time, "00:00:00", 0, ""},
        {verify_time, "24:00:00", -1, range("24", "0 ~ 23")},
        {verify_time, "12:60:61", -1, range("60", "0 ~ 59")},
        {verify_time, "1:00:00", -1, not_valid("TIME", "1:00:00")},
        {verify_date, "01-12-2008", 0, ""},
        {verify_date, "00-01-2010", -1, range("00", "1 ~ 31")},
        {verify_date, "01-13-2010", -1, range("13", "1 ~ 12")},
        {verify_date, "01-01-2007", -1, range("2007", "2008 ~ 3000")},
        {verify_date, "2010-01-01", -1, not_valid("DATE", "2010-01-01")},
    };
    for (const Row &row : rows) {
        outcome o = check(row.v, row.value, row.start, row.end);
        EXPECT_EQ(row.rc, o.rc) << "'" << row.value << "': " << o.said;
        EXPECT_EQ(row.said, o.said) << row.value;
    }
}

// Every validator with an ordinary value it accepts: the same value made
// hostile (shell syntax, line breaks, blanks around it, a NUL before it,
// thousands of characters more) is refused, except that free text may hold
// what a shell acts on.
TEST(Verify, HostileValuesAreRefusedByEveryValidator) {
    struct Row {
        const char *name;
        validator v;
        std::string ordinary;
        int start = 0, end = 0;
        bool freeText = false;
    } rows[] = {
        {"positive_number", verify_positive_number, "12.5"},
        {"number", verify_number, "-3.5"},
        {"range", verify_range, "80", 0, 100},
        {"portrange", verify_portrange, "80:21"}, // no order between the ports
        {"string_size", verify_string_size, "a b", 0, 64, true},
        {"ip_address", verify_ip_address, "192.168.1.1"},
        {"netmask", verify_netmask, "255.255.255.0"},
        {"mac_address", verify_mac_address, "00:1A:2b:3c:4D:5e"},
        {"normal_word", verify_normal_word, "wan_1"},
        {"ascii_exclude_comma", verify_ascii_exclude_comma, "a, b", 1, 64, true},
        {"password", verify_password, "Secret42"},
        {"username", verify_username, "admin_2"},
        {"url", verify_url, "http://example.org:8080/cgi/a.html?x=1#top"},
        {"domain", verify_domain, "www.example.org"},
        {"domain2", verify_domain2, "a-1.example_2.org"},
        {"cidr", verify_cidr, "10.0.0.0/8"},
        {"time", verify_time, "23:59:59"},
        {"date", verify_date, "31-02-2010"}, // days are not compared with the month
        {"hex_text", verify_hex_text, "00aaFF"},
    };
    const std::string shell[] = {";reboot", "|reboot", "&reboot", "`reboot`", "$(reboot)", "'",  "\"",
                                 ">x",      "<x",      "\\",      "*",        "{a,b}",     "!x", " reboot"};
    const std::string lines[] = {"\n", "\r", "\t", "\nreboot", "\x1b[2J", "\x7f"};
    for (const Row &row : rows) {
        accepts(row.v, row.ordinary, row.start, row.end);
        EXPECT_EQ(-1, row.v(nullptr, row.start, row.end)) << row.name;
        // Very long values: judged like short ones, without reading past them.
        check(row.v, row.ordinary + std::string(5000, row.ordinary.back()), row.start, row.end);
        std::vector<std::string> hostile = {" " + row.ordinary, row.ordinary + " ",
                                            row.ordinary + std::string(5000, ';')};
        for (const std::string &s : shell)
            hostile.insert(hostile.end(), {row.ordinary + s, s + row.ordinary});
        for (const std::string &l : lines)
            hostile.insert(hostile.end(), {row.ordinary + l, l + row.ordinary});
        for (const std::string &value : hostile) {
            // Free text takes any printable text within its bounds.
            bool printable = std::all_of(value.begin(), value.end(), [](char c) { return c >= ' ' && c <= '~'; });
            int expected = row.freeText && printable && static_cast<int>(value.size()) <= row.end ? 0 : -1;
            EXPECT_EQ(expected, check(row.v, value, row.start, row.end).rc) << row.name << " '" << value << "'";
        }
        // A value is judged up to its NUL: one behind a NUL is never seen.
        std::string hidden = std::string(1, '\0') + row.ordinary;
        EXPECT_EQ(row.v == verify_string_size ? 0 : -1, row.v(hidden.data(), row.start, row.end)) << row.name;
    }
    EXPECT_EQ(-1, do_verify("([unclosed", "x", "Broken"));
    EXPECT_EQ(-1, do_verify(nullptr, "x", "t"));
}

TEST(Verify, SplitString) {
    int count = 0;
    EXPECT_EQ((std::vector<std::string>{"a", "b", "c"}), fields_of("a..b.c", '.', &count));
    EXPECT_EQ(3, count);
    EXPECT_EQ((std::vector<std::string>{"a", ""}), fields_of("..a.", '.', &count));
    EXPECT_EQ((std::vector<std::string>{""}), fields_of("", '.', &count));
    EXPECT_EQ((std::vector<std::string>{"no separator"}), fields_of("no separator", '.', &count));

    char *out = reinterpret_cast<char *>(1);
    EXPECT_EQ(-1, split_string(nullptr, &out, '.'));
    EXPECT_EQ(nullptr, out);
}
