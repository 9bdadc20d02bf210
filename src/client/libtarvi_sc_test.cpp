// The instance-field self-test of the client library: a fixed sequence of
// field calls on the table "sys/network/v6config", each step printed, for
// checking a device's daemon and profiles from the device itself.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "libtarvi_private.h"

namespace {

char TABLE[] = "sys/network/v6config";
char SERIAL[] = "sys/network/v6config@@@serial";
char F_ID[] = "ID", F_NAME[] = "Name", F_TYPE[] = "Type";
char *FIELDS[] = {F_ID, F_NAME, F_TYPE, nullptr};
// How the steps' lines name the test.
const char TEST[] = "tarvi_sc_test_me";

// Frees a null-terminated list of copies handed back by the field calls.
struct owned_values {
    char *v[4] = {nullptr, nullptr, nullptr, nullptr};
    owned_values() = default;
    owned_values(const owned_values &) = delete;
    owned_values &operator=(const owned_values &) = delete;
    ~owned_values() {
        for (char *p : v)
            free(p);
    }
};

struct self_test {
    bool ok = true;

    void error(const char *call, int line) {
        printf("Error %s:%d\n", call, line);
        ok = false;
    }

    // The serial node's value, printed as `label`.
    std::string serial(const char *label, int line) {
        char *value = nullptr;
        if (tarvi_sc_get(SERIAL, &value) != 0)
            error("tarvi_sc_get", line);
        std::string out = value ? value : "";
        printf("%s:%d %s serial=%s\n", TEST, line, label, value ? value : "(null)");
        free(value);
        return out;
    }

    // Adds an instance with the three fields set to `values`; its name, or
    // "" when the add failed.
    std::string add(char *values[], int line) {
        char *name = nullptr;
        if (tarvi_sc_add_instance_fields(TABLE, FIELDS, values, &name) != 0 || !name) {
            error("tarvi_sc_add_instance_fields", line);
            free(name);
            return "";
        }
        printf("%s:%d Name=%s\n", TEST, line, name);
        std::string out = name;
        free(name);
        return out;
    }

    // Reads the three fields of instance `name` and compares them with
    // `expected`.
    void expect(const std::string &name, char *expected[], int line) {
        owned_values got;
        std::string inst = name;
        if (tarvi_sc_get_instance_fields(TABLE, inst.data(), FIELDS, got.v) != 0) {
            error("tarvi_sc_get_instance_fields", line);
            return;
        }
        for (int i = 0; i < 3; ++i) {
            if (!got.v[i] || strcmp(got.v[i], expected[i]) != 0) {
                printf("%s:%d Error get_value[%d]=%s\n", TEST, line, i, got.v[i] ? got.v[i] : "(null)");
                ok = false;
            }
        }
    }

    void del(const std::string &name, int line) {
        std::string inst = name;
        if (tarvi_sc_del_instance_fields(TABLE, inst.data()) != 0)
            error("tarvi_sc_del_instance_fields", line);
    }

    // Reads the fields of the nth instance; `present` tells whether there
    // should be one.
    void by_number(u_16 nth, bool present, int line) {
        owned_values got;
        char *name = nullptr;
        int rc = tarvi_sc_get_instance_fields_by_num(TABLE, nth, FIELDS, got.v, &name);
        printf("%s:%d nth=%d name=%s rc=%d\n", TEST, line, nth, name ? name : "(null)", rc);
        free(name);
        if ((rc == 0) != present)
            error("tarvi_sc_get_instance_fields_by_num", line);
    }
};

} // namespace

int libtarvi_sc_test_inst_fields() {
    self_test t;
    std::string old_serial = t.serial("old", __LINE__);

    char id[] = "TestID", name[] = "TestName", type[] = "TestType";
    char *first[] = {id, name, type, nullptr};
    std::string inst = t.add(first, __LINE__);
    std::string new_serial = t.serial("new", __LINE__);
    if (inst.empty() || new_serial != inst || new_serial != std::to_string(atol(old_serial.c_str()) + 1))
        t.error("serial", __LINE__);

    if (!inst.empty()) {
        t.expect(inst, first, __LINE__);
        // Runs of blanks and '#' must come back as they were written.
        char id2[] = "TestID   2 abc", name2[] = "TestName 2   def", type2[] = "TestType 2  # abc # ghi";
        char *second[] = {id2, name2, type2, nullptr};
        if (tarvi_sc_set_instance_fields(TABLE, inst.data(), FIELDS, second) != 0)
            t.error("tarvi_sc_set_instance_fields", __LINE__);
        t.expect(inst, second, __LINE__);
        t.del(inst, __LINE__);
    }

    std::string again = t.add(first, __LINE__);
    u_16 count = 0;
    if (tarvi_sc_query_inst_number(TABLE, &count) != 0 || count == 0)
        t.error("tarvi_sc_query_inst_number", __LINE__);
    else {
        t.by_number(static_cast<u_16>(count - 1), true, __LINE__);
        t.by_number(count, false, __LINE__);
    }
    // The test leaves the table as it found it.
    if (!again.empty())
        t.del(again, __LINE__);
    printf("%s:%d %s\n", TEST, __LINE__, t.ok ? "PASS" : "FAIL");
    return t.ok ? 0 : -1;
}
