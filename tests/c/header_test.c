/* libtarvi.h is plain C: this program is compiled by the C compiler, links the
 * shared libtarvi and makes calls of each family. With no daemon in its
 * (empty) sandbox the calls that need one must fail cleanly. */
#include <libtarvi.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

static int failures;

static void expect(int ok, const char *what) {
    if (!ok) {
        fprintf(stderr, "failed: %s\n", what);
        failures++;
    }
}

int main(void) {
    tarvi_request request = {0};
    char key[] = "SYS_NAME", ip[] = "192.168.1.1", fields[] = "a,b", soc[] = "soc_id";
    char *value = key, *out = NULL;
    char name[TARVI_SYS_NAME_SIZE], now[26], list[TARVI_VPN_LIST_SIZE];
    int h, m, s;

    setenv("TARVI_ROOT", "/nonexistent-tarvi-root", 1);
    libtarvi_rw_block = 0;
    request.magic = TARVI_REQUEST_MAGIC;
    request.type = TARVI_REQUEST_TYPE_GET;
    request.key = key;
    expect(request_for_tarvi(&request) == -1, "request_for_tarvi without a daemon");

    expect(tarvi_get(key, &value) == -1 && value == NULL, "tarvi_get without a daemon");
    expect(tarvi_get(soc, &value) == 0 && value != NULL, "tarvi_get of a local key");
    free(value);
    expect(tarvi_commit() == -1, "tarvi_commit without a daemon");
    expect(tarvi_check_passwd(NULL, key, 0) == TARVI_PASSWD_NO_ACCOUNT, "tarvi_check_passwd");
    expect(tarvi_get_sys_name(name) == 0 && strcmp(name, "WiMAX CPE Configuration Manager") == 0, "system name");
    expect(tarvi_get_sys_time(now) == 0 && strlen(now) == 24, "system time");
    expect(tarvi_get_uptime(&h, &m, &s) == 0, "uptime");
    tarvi_get_vpn_server_connection(list, 0);
    expect(list[0] == '\0', "VPN server list");
    expect(verify_ip_address(ip, 0, 0) == 0, "verify_ip_address");
    expect(split_string(fields, &out, ',') == 2 && strcmp(out, "a") == 0, "split_string");
    free(out);
    return failures ? 1 : 0;
}
