// The pages of a listing and the texts clients upload: what a client that
// stops halfway leaves behind, and that pages put together give the text.
#include <gtest/gtest.h>
#include <random>
#include <string>

#include "listing.h"
#include "tarvid_cursor.h"

namespace {

long long fake_now = 0;
long long fake_clock() { return fake_now; }

// The cursor of a new listing `text`; its first page in *page.
unsigned opened(std::string text, std::string *page) {
    unsigned next = 0;
    EXPECT_EQ(0, cursor_open(std::move(text), page, &next));
    return next;
}

struct FakeClock : ::testing::Test {
    void SetUp() override {
        fake_now = 1000000;
        cursor_set_clock(fake_clock);
        // Cursors of earlier tests expire.
        fake_now += CURSOR_IDLE_MS;
        std::string page;
        opened(std::string(LISTING_PAGE_SIZE + 1, 'x'), &page);
    }
    void TearDown() override { cursor_set_clock(nullptr); }
};

// Every page of listing `text`, put together again.
std::string paged(const std::string &text, unsigned *pages) {
    std::string page, all;
    unsigned id = opened(text, &page);
    all = page;
    *pages = 1;
    while (id) {
        EXPECT_EQ(0, cursor_next(id, &page, &id));
        EXPECT_LE(page.size(), static_cast<size_t>(LISTING_PAGE_SIZE));
        all += page;
        ++*pages;
    }
    return all;
}

} // namespace

TEST_F(FakeClock, PagesPutTogetherGiveTheTextAndFreeTheCursor) {
    std::mt19937 rng(static_cast<unsigned>(time(nullptr)));
    for (size_t size :
         {size_t(0), size_t(1), size_t(LISTING_PAGE_SIZE), size_t(LISTING_PAGE_SIZE + 1), size_t(rng() % 100000)}) {
        std::string text(size, 'a');
        for (char &c : text)
            c = static_cast<char>('a' + rng() % 26);
        unsigned pages = 0;
        EXPECT_EQ(text, paged(text, &pages)) << size;
        EXPECT_EQ(size ? (size + LISTING_PAGE_SIZE - 1) / LISTING_PAGE_SIZE : 1, pages) << size;
    }
    EXPECT_EQ(1u, cursor_count()); // only the one of SetUp, which nobody reads
}

TEST_F(FakeClock, AbandonedCursorsAreDroppedByAgeAndByRoom) {
    std::string big(LISTING_PAGE_SIZE * 2, 'b'), page;
    unsigned first = opened(big, &page);
    for (int i = 1; i < CURSOR_MAX; ++i) {
        fake_now += 1;
        opened(big, &page);
    }
    EXPECT_EQ(static_cast<size_t>(CURSOR_MAX), cursor_count());
    // One more: the one used longest ago goes.
    unsigned last = opened(big, &page), next = 0;
    EXPECT_EQ(static_cast<size_t>(CURSOR_MAX), cursor_count());
    EXPECT_EQ(-1, cursor_next(first, &page, &next));
    // Unread for the idle time: gone at the next use.
    fake_now += CURSOR_IDLE_MS;
    EXPECT_EQ(-1, cursor_next(last, &page, &next));
    unsigned upload = 0;
    EXPECT_EQ(0, cursor_upload(&upload, "abc"));
    EXPECT_EQ(1u, cursor_count());
    // A listing is no upload, and the other way round.
    EXPECT_EQ(-1, cursor_next(upload, &page, &next));
    unsigned wrong = opened(big, &page);
    std::string text;
    EXPECT_EQ(-1, cursor_take(wrong, &text));
    EXPECT_EQ(0, cursor_upload(&upload, "def"));
    EXPECT_EQ(0, cursor_take(upload, &text));
    EXPECT_EQ("abcdef", text);
    EXPECT_EQ(-1, cursor_take(upload, &text));
}

// Neither end takes a text over the limit: an upload that grows beyond it is
// dropped, and such a listing is refused at once, nothing kept.
TEST_F(FakeClock, AnUploadOrAListingBeyondTheLimitIsRefused) {
    std::string page = "?";
    unsigned next = 7;
    size_t kept = cursor_count();
    EXPECT_EQ(-1, cursor_open(std::string(LISTING_TEXT_MAX + 1, 'l'), &page, &next));
    EXPECT_EQ(0u, next);
    EXPECT_EQ(kept, cursor_count());
    unsigned upload = 0;
    std::string chunk(1 << 20, 'u');
    int rc = 0;
    size_t sent = 0;
    while (rc == 0 && sent <= LISTING_TEXT_MAX) {
        rc = cursor_upload(&upload, chunk.c_str());
        sent += chunk.size();
    }
    EXPECT_EQ(-1, rc);
    EXPECT_GT(sent, static_cast<size_t>(LISTING_TEXT_MAX));
    std::string text;
    EXPECT_EQ(-1, cursor_take(upload, &text));
}

TEST(ListingText, AnyFieldsSurviveAndBrokenTextIsRefused) {
    std::mt19937 rng(static_cast<unsigned>(time(nullptr)));
    const char alphabet[] = "ab\\\t\nnt";
    for (int round = 0; round < 500; ++round) {
        std::vector<std::vector<std::string>> records(rng() % 4), back;
        std::string text;
        for (auto &r : records) {
            r.resize(1 + rng() % 4);
            for (auto &f : r)
                for (size_t i = rng() % 6; i > 0; --i)
                    f.push_back(alphabet[rng() % (sizeof alphabet - 1)]);
            listing_put(&text, r);
        }
        ASSERT_TRUE(listing_split(text, &back)) << text;
        ASSERT_EQ(records, back) << text;
    }
    std::vector<std::vector<std::string>> back;
    for (const char *bad : {"a\tb", "a\\", "a\\x\n"})
        EXPECT_FALSE(listing_split(bad, &back)) << bad;
    EXPECT_EQ(7, listing_cursor_of("7"));
    for (const char *bad : {"", "-1", "7 ", "x", "99999999999"})
        EXPECT_EQ(-1, listing_cursor_of(bad)) << bad;
}
