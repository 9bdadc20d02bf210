// Status codes of tree operations. The daemon returns them from its tree
// operations and sends them in replies; the client library reads them there
// and hands them to its callers negated. Both sides include this header.
#ifndef TARVI_SC_STATUS_H
#define TARVI_SC_STATUS_H

#define SC_GET_NEXT_COMPLETE 100
#define SC_GET_NEXT_HAS_CHILD 101
#define SC_GET_NEXT_NO_CHILD 102
#define SC_DATA_FOUND 200
#define SC_MALLOC_FAIL 400
#define SC_FORBIDDEN 403
#define SC_DATA_NOT_FOUND 404
#define SC_URI_TOO_LONG 414
#define SC_CMD_FAILED 500

#endif
