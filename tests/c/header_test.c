/* libtarvi.h is plain C: this program is compiled by the C compiler, links the
 * shared libtarvi and makes a call. With no daemon in its (empty) sandbox the
 * call must fail cleanly. */
#include <libtarvi.h>
#include <stdio.h>
#include <stdlib.h>

int main(void) {
    tarvi_request request = {0};
    char key[] = "SYS_NAME";
    setenv("TARVI_ROOT", "/nonexistent-tarvi-root", 1);
    request.magic = TARVI_REQUEST_MAGIC;
    request.type = TARVI_REQUEST_TYPE_GET;
    request.key = key;
    libtarvi_rw_block = 0;
    if (request_for_tarvi(&request) != -1) {
        fprintf(stderr, "request_for_tarvi succeeded without a daemon\n");
        return 1;
    }
    return 0;
}
