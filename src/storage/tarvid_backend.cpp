#include "backend.h"

#ifdef TARVI_FILE_BACKEND
#include "file.h"
#else
#include "partition.h"
#endif

int tarvid_backend_init(struct operator_table *op) {
#ifdef TARVI_FILE_BACKEND
    return file_init(op);
#else
    return partition_init(op);
#endif
}
