#include "tarvid_cursor.h"

#include <algorithm>
#include <cstring>
#include <mutex>
#include <vector>

#include "listing.h"
#include "log.h"
#include "tarvid_req.h"
#include "utility.h"

namespace {

struct cursor {
    unsigned id;
    bool upload;
    int type; // the request type of the listing; -1 for an upload
    std::string text;
    size_t pos;        // where the next page of a listing begins
    long long used_ms; // last use, for the idle limit and eviction
};

std::mutex cursor_mutex;
std::vector<cursor> cursors;
unsigned last_id;
long long (*clock_fn)();

long long now_ms() { return clock_fn ? clock_fn() : monotonic_ms(); }

size_t bytes_kept() {
    size_t n = 0;
    for (const cursor &c : cursors)
        n += c.text.size();
    return n;
}

// Drops idle cursors, then the least recently used ones other than `keep`
// until `size` more bytes fit (and, with `one_more`, one more cursor).
// False when they do not fit even so.
bool make_room(size_t size, long long now, bool one_more, unsigned keep = 0) {
    std::erase_if(cursors, [now, keep](const cursor &c) { return c.id != keep && now - c.used_ms >= CURSOR_IDLE_MS; });
    auto crowded = [&] { return (one_more && cursors.size() >= CURSOR_MAX) || bytes_kept() + size > CURSOR_BYTES_MAX; };
    while (crowded()) {
        auto oldest = cursors.end();
        for (auto it = cursors.begin(); it != cursors.end(); ++it)
            if (it->id != keep && (oldest == cursors.end() || it->used_ms < oldest->used_ms))
                oldest = it;
        if (oldest == cursors.end())
            return false;
        cursors.erase(oldest);
    }
    return true;
}

void drop(unsigned id) {
    std::erase_if(cursors, [id](const cursor &k) { return k.id == id; });
}

// The live cursor `id` of the given kind, or null; an idle one is dropped.
cursor *find(unsigned id, bool upload, long long now) {
    for (auto it = cursors.begin(); it != cursors.end(); ++it) {
        if (it->id != id)
            continue;
        if (now - it->used_ms >= CURSOR_IDLE_MS) {
            cursors.erase(it);
            return nullptr;
        }
        if (it->upload != upload)
            return nullptr;
        it->used_ms = now;
        return &*it;
    }
    return nullptr;
}

unsigned new_id() {
    for (;;) {
        if (++last_id == 0)
            continue;
        bool taken = false;
        for (const cursor &c : cursors)
            taken = taken || c.id == last_id;
        if (!taken)
            return last_id;
    }
}

// The page of `c` from its position on; advances it.
void take_page(cursor &c, std::string *page) {
    size_t n = std::min<size_t>(LISTING_PAGE_SIZE, c.text.size() - c.pos);
    page->assign(c.text, c.pos, n);
    c.pos += n;
}

} // namespace

int cursor_open(std::string text, std::string *page, unsigned *next, int type) {
    *next = 0;
    if (text.size() <= LISTING_PAGE_SIZE) {
        *page = std::move(text);
        return 0;
    }
    if (text.size() > LISTING_TEXT_MAX) {
        tarvid_log(LOG_ERR, "Listing of %zu bytes is over %u bytes, refused !!", text.size(), LISTING_TEXT_MAX);
        return -1;
    }
    std::lock_guard<std::mutex> lock(cursor_mutex);
    long long now = now_ms();
    make_room(text.size(), now, true); // a listing within the limit always fits an emptied table
    cursors.push_back({new_id(), false, type, std::move(text), 0, now});
    take_page(cursors.back(), page);
    *next = cursors.back().id;
    return 0;
}

int cursor_next(unsigned id, std::string *page, unsigned *next) {
    std::lock_guard<std::mutex> lock(cursor_mutex);
    cursor *c = find(id, false, now_ms());
    if (!c)
        return -1;
    take_page(*c, page);
    *next = c->pos < c->text.size() ? c->id : 0;
    if (*next == 0)
        drop(id);
    return 0;
}

int cursor_upload(unsigned *id, const char *chunk) {
    std::lock_guard<std::mutex> lock(cursor_mutex);
    long long now = now_ms();
    size_t len = chunk ? strlen(chunk) : 0;
    if (*id == 0) {
        make_room(0, now, true);
        cursors.push_back({new_id(), true, -1, std::string(), 0, now});
        *id = cursors.back().id;
    } else if (!find(*id, true, now)) {
        return -1;
    }
    // Room is made before the cursor is looked up again: making it may move
    // the others in the table.
    bool fits = make_room(len, now, false, *id);
    cursor *c = find(*id, true, now);
    if (!fits || !c || c->text.size() + len > LISTING_TEXT_MAX) {
        drop(*id);
        return -1;
    }
    c->text.append(chunk ? chunk : "", len);
    return 0;
}

int cursor_type(unsigned id) {
    std::lock_guard<std::mutex> lock(cursor_mutex);
    for (const cursor &c : cursors)
        if (c.id == id && !c.upload)
            return c.type;
    return -1;
}

int cursor_take(unsigned id, std::string *text) {
    std::lock_guard<std::mutex> lock(cursor_mutex);
    cursor *c = find(id, true, now_ms());
    if (!c)
        return -1;
    *text = std::move(c->text);
    drop(id);
    return 0;
}

namespace {

void reply_page(struct req *r, int status, unsigned cursor, std::string &page) {
    std::string key = std::to_string(cursor);
    // A page fills the record: listings carry no reserved bytes back.
    r->request.reservedLen = 0;
    r->request.status = status;
    r->request.key = status == 0 ? key.data() : nullptr;
    r->request.value = status == 0 ? page.data() : nullptr;
    req_reply(r);
}

} // namespace

void cursor_reply_listing(struct req *r, std::string text) {
    std::string page;
    unsigned cursor = 0;
    int status = cursor_open(std::move(text), &page, &cursor, r->request.type);
    reply_page(r, status, cursor, page);
}

void cursor_reply_next(struct req *r) {
    std::string page;
    long id = listing_cursor_of(r->request.key);
    unsigned next = 0;
    int status = id > 0 ? cursor_next(static_cast<unsigned>(id), &page, &next) : -1;
    reply_page(r, status, next, page);
}

size_t cursor_count() {
    std::lock_guard<std::mutex> lock(cursor_mutex);
    return cursors.size();
}

void cursor_set_clock(long long (*now)()) {
    std::lock_guard<std::mutex> lock(cursor_mutex);
    clock_fn = now;
}
