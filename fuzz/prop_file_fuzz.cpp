// The property service's start-up reading of rc files (services, triggers
// and their commands) and property files. The input up to its first NUL byte
// is an rc file, the rest "/default.prop"; persistent values it makes are
// read back from "/data/property" in the same load. No command runs: the
// harness answers for the spawn calls.
#include <cstdint>
#include <string>

#include "fuzz_support.h"
#include "prop_core.h"
#include "prop_db.h"
#include "prop_file.h"
#include "prop_svc.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    fuzz_root();
    std::string rc, props;
    fuzz_split(data, size, &rc, &props);
    fuzz_write("/init.fuzz.rc", rc.data(), rc.size());
    fuzz_write("/default.prop", props.data(), props.size());
    prop_core_init();
    // Empty the registry and the store again, so nothing outlives the input.
    prop_svc_init();
    prop_db_init();
    fuzz_remove("/data/property");
    return 0;
}
