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

void refuses(validator v, const std::string &value, const std::string &said, int start = 0, int end = 0) {
    outcome o = check(v, value, start, end);
    EXPECT_EQ(-1, o.rc) << "'" << value << "' accepted";
    EXPECT_EQ(said, o.said) << value;
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

TEST(Verify, Numbers) {
    refuses(verify_positive_number, "-3.5", not_valid("Positive number", "-3.5"));
    accepts(verify_positive_number, "0.25");
    refuses(verify_positive_number, "1.", not_valid("Positive number", "1."));
    refuses(verify_number, "", not_valid("Number", ""));

    accepts(verify_range, "-5", -10, 0);
    accepts(verify_range, "0010", 0, 10);
    refuses(verify_range, "11", "Range : '11' invalid range(0 ~ 10)\n", 0, 10);
    // The sign is skipped before the integer pattern, so the reason quotes
    // what was matched.
    refuses(verify_range, "-x", not_valid("Integer", "x"), 0, 10);
    // Far beyond any int: refused by the bound, never wrapped into it.
    refuses(verify_range, "99999999999999999999999", "Range : '99999999999999999999999' invalid range(0 ~ 10)\n", 0,
            10);
    refuses(verify_range, "4294967301", "Range : '4294967301' invalid range(0 ~ 10)\n", 0, 10);

    accepts(verify_portrange, "65535");
    refuses(verify_portrange, "65536", "Range : '65536' invalid range(0 ~ 65535)\n");
    refuses(verify_portrange, "80:", not_valid("Integer", ""));
    refuses(verify_portrange, "1:2:3", not_valid("Integer", "2:3"));
}

TEST(Verify, SizesAndWords) {
    accepts(verify_string_size, "abc", 0, 3);
    refuses(verify_string_size, "abcd", "String size range : 'abcd' invalid range(0 ~ 3)\n", 0, 3);
    accepts(verify_string_size, "", -1, 0);
    refuses(verify_string_size, "a\nb", not_valid("text", "a\nb"), 0, 3);

    accepts(verify_ascii_exclude_comma, "a, b ~", 1, 10);
    refuses(verify_ascii_exclude_comma, "too long", "", 1, 4);
    refuses(verify_ascii_exclude_comma, "", not_valid("ascii word", ""), 0, 20);

    refuses(verify_normal_word, "wan-1", not_valid("normal word", "wan-1"));
    refuses(verify_hex_text, "0x1F", not_valid("hex text", "0x1F"));

    refuses(verify_username, "ab", not_valid("Username", "ab") + "Username : username length should be 3~16\n");
    refuses(verify_username, std::string(17, 'a'),
            not_valid("Username", std::string(17, 'a')) + "Username : username length should be 3~16\n");
}

TEST(Verify, Addresses) {
    accepts(verify_ip_address, "010.0.0.1");
    refuses(verify_ip_address, "256.1.1.1", "Range : '256' invalid range(0 ~ 255)\n");
    refuses(verify_ip_address, "1.2.3", not_valid("IP address", "1.2.3"));

    accepts(verify_netmask, "0.0.0.0");
    accepts(verify_netmask, "255.255.255.255");
    accepts(verify_netmask, "255.255.128.0");
    refuses(verify_netmask, "255.0.255.0", "Netmask : '255.0.255.0' is not a valid Netmask.\n");
    refuses(verify_netmask, "0.255.255.255", "Netmask : '0.255.255.255' is not a valid Netmask.\n");
    refuses(verify_netmask, "255.255.255.256", "Range : '256' invalid range(0 ~ 255)\n");

    refuses(verify_mac_address, "00:00:00:00:00:00", "MAC Address : '00:00:00:00:00:00' is not a valid MAC address.\n");
    refuses(verify_mac_address, "00-1A-2B-3C-4D-5E", not_valid("MAC address", "00-1A-2B-3C-4D-5E"));

    accepts(verify_cidr, "10.0.0.9-10.0.0.1");
    accepts(verify_cidr, "10.0.0.1");
    accepts(verify_cidr, "10.0.0.0/99");
    refuses(verify_cidr, "10.0.0.0/100", not_valid("CIDR", "10.0.0.0/100"));
    refuses(verify_cidr, "299.0.0.0/8", "Range : '299' invalid range(0 ~ 255)\n");
    refuses(verify_cidr, "10.0.0.1-10.0.0.299", "Range : '299' invalid range(0 ~ 255)\n");
}

TEST(Verify, NamesAndUrls) {
    accepts(verify_url, "http://example.org:8080/index.html");
    accepts(verify_url, "example.org/");
    refuses(verify_url, "http://example.org", not_valid("URL", "http://example.org"));
    refuses(verify_url, "http://x/\nrm -rf /", not_valid("URL", "http://x/\nrm -rf /"));
    refuses(verify_domain, "evil;reboot #a.b", not_valid("Domain name", "evil;reboot #a.b"));
    refuses(verify_domain, "localhost", not_valid("Domain name", "localhost"));
    refuses(verify_domain, "example.", not_valid("Domain name", "example."));
    accepts(verify_domain2, "localhost");
    refuses(verify_domain2, "-bad.org", not_valid("domain", "-bad.org"));
    refuses(verify_domain2, "a..b", not_valid("domain", "a..b"));
}

TEST(Verify, TimesAndDates) {
    accepts(verify_time, "00:00:00");
    refuses(verify_time, "24:00:00", "Range : '24' invalid range(0 ~ 23)\n");
    refuses(verify_time, "12:60:61", "Range : '60' invalid range(0 ~ 59)\n");
    refuses(verify_time, "1:00:00", not_valid("TIME", "1:00:00"));

    accepts(verify_date, "01-12-2008");
    refuses(verify_date, "00-01-2010", "Range : '00' invalid range(1 ~ 31)\n");
    refuses(verify_date, "01-13-2010", "Range : '13' invalid range(1 ~ 12)\n");
    refuses(verify_date, "01-01-2007", "Range : '2007' invalid range(2008 ~ 3000)\n");
    refuses(verify_date, "2010-01-01", not_valid("DATE", "2010-01-01"));
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
