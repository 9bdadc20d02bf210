// Texts kept in the daemon between the requests of one client: listings it
// pages through, and import texts it uploads in pieces. The table has its own
// mutex; no caller needs the configuration lock for it.
//
// A client that stops paging or uploading leaves its cursor behind, so the
// table is bounded: CURSOR_MAX cursors and CURSOR_BYTES_MAX bytes of text in
// all; a cursor not used for CURSOR_IDLE_MS is dropped, and when room is
// needed the cursor used longest ago goes first. Its client then hears that
// the cursor is unknown and starts again.
#ifndef TARVI_TARVID_CURSOR_H
#define TARVI_TARVID_CURSOR_H

#include <cstddef>
#include <string>

#define CURSOR_MAX 8
#define CURSOR_IDLE_MS 30000
#define CURSOR_BYTES_MAX (32u * 1024u * 1024u)

// Keeps listing `text` and puts its first page (at most LISTING_PAGE_SIZE
// bytes) in *page, and in *next the cursor of the next page, or 0 when the
// first page is the whole text (nothing is kept then); `type` is the request
// type that asked for the listing. Returns 0, or -1 (logged, nothing kept)
// for a listing over LISTING_TEXT_MAX bytes, which no client would take.
int cursor_open(std::string text, std::string *page, unsigned *next, int type = -1);

// The request type that opened listing `id`, or -1 for a cursor that is
// unknown or an upload. Looks only: the cursor's idle time is not reset.
int cursor_type(unsigned id);

// The next page of listing `id` in *page, and in *next the cursor of the
// page after it (0 when this one is the last: the cursor is freed). Returns
// 0, or -1 for a cursor that is unknown, dropped or an upload.
int cursor_next(unsigned id, std::string *page, unsigned *next);

// Appends `chunk` to upload *id (0: a new upload; *id receives its cursor).
// Returns 0, or -1 for an unknown cursor or a text that would outgrow
// LISTING_TEXT_MAX (the upload is dropped then).
int cursor_upload(unsigned *id, const char *chunk);

// Hands the text of upload `id` to the caller and frees the cursor. Returns
// 0, or -1 for an unknown cursor or a listing.
int cursor_take(unsigned id, std::string *text);

struct req;

// Replies to the listing request `r` with the first page of `text` as its
// value and, as its key, the cursor of the next page ("0" when there is
// none); then closes and frees `r`. The request's reserved bytes are not
// carried back: a page fills the record.
void cursor_reply_listing(struct req *r, std::string text);

// Serves the next-page request `r` (key: the cursor) in the same way; an
// unknown cursor is answered with status -1 and neither key nor value.
void cursor_reply_next(struct req *r);

// Test seams: the number of cursors kept, and the clock in milliseconds
// (null: the monotonic clock).
size_t cursor_count();
void cursor_set_clock(long long (*now_ms)());

#endif
