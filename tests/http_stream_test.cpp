// Multipart splitting of streamed bodies: every way of cutting the body into chunks gives the
// same parts, broken bodies are recognised, and what is held back stays bounded.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/http_stream.h"

using platform::MultipartSplitter;

namespace {

struct Split {
    std::vector<std::string> types;  // content type of each part ("-" when it has none)
    std::vector<std::string> bodies;
    bool malformed = false;
};

// Feeds the body in chunks of the given sizes (the rest in one), then ends it.
Split run(const std::string& boundary, const std::string& body, const std::vector<std::size_t>& cuts) {
    Split out;
    MultipartSplitter splitter(boundary);
    MultipartSplitter::Sink sink{
        [&](const MultipartSplitter::Part& p) {
            out.types.push_back(p.contentType.value_or("-"));
            out.bodies.emplace_back();
        },
        [&](const std::uint8_t* d, std::size_t n) {
            if (out.bodies.empty()) out.bodies.emplace_back("<data before any part>");
            out.bodies.back().append(reinterpret_cast<const char*>(d), n);
        }};
    std::size_t at = 0;
    auto feed = [&](std::size_t n) {
        splitter.feed(reinterpret_cast<const std::uint8_t*>(body.data()) + at, n, sink);
        at += n;
    };
    for (std::size_t c : cuts) feed(std::min(c, body.size() - at));
    feed(body.size() - at);
    splitter.finish(sink);
    out.malformed = splitter.malformed();
    return out;
}

}  // namespace

TEST(MultipartSplitter, EveryCutGivesTheSameParts) {
    const std::string jpegA = "\xFF\xD8" "a\r\n-b\n--\xFF\xD9";
    const std::string jpegB = "\xFF\xD8" "bb\xFF\xD9";
    struct Case {
        const char* name;
        std::string boundary;
        std::string body;
        std::vector<std::string> types;
        std::vector<std::string> bodies;
    } cases[] = {
        {"CRLF lines", "kv",
         "--kv\r\nContent-Type: image/jpeg\r\n\r\n" + jpegA + "\r\n--kv\r\ncontent-type: image/jpeg; q=1\r\n\r\n" + jpegB +
             "\r\n--kv--\r\nepilogue --kv\r\n",
         {"image/jpeg", "image/jpeg"}, {jpegA, jpegB}},
        {"LF lines and a preamble", "kv", "preamble\n--kv\nContent-Type: image/jpeg\n\n" + jpegA + "\n--kv\n\n" + jpegB,
         {"image/jpeg", "-"}, {jpegA, jpegB}},
        {"parameter with dashes", "--kv", "--kv\r\n\r\n" + jpegB + "\r\n--kv\r\n\r\n" + jpegA, {"-", "-"}, {jpegB, jpegA}},
        {"other delimiter in the body", "declared", "--cam\r\n\r\n" + jpegB + "\r\n--cam\r\n\r\n" + jpegB,
         {"-", "-"}, {jpegB, jpegB}},
        {"no parameter", "", "\r\n--cam\r\n\r\n" + jpegA, {"-"}, {jpegA}},
        {"an empty part", "kv", "--kv\r\n\r\n--kv\r\n\r\n" + jpegB, {"-", "-"}, {"", jpegB}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        for (std::size_t cut = 0; cut <= c.body.size(); ++cut) {
            SCOPED_TRACE("cut at " + std::to_string(cut));
            Split s = run(c.boundary, c.body, {cut});
            EXPECT_FALSE(s.malformed);
            EXPECT_EQ(s.types, c.types);
            EXPECT_EQ(s.bodies, c.bodies);
        }
        Split bytewise = run(c.boundary, c.body, std::vector<std::size_t>(c.body.size(), 1));
        EXPECT_EQ(bytewise.bodies, c.bodies);
    }
}

TEST(MultipartSplitter, BrokenBodiesAreRecognisedWithBoundedBuffering) {
    struct Case {
        const char* name;
        std::string body;
    } cases[] = {
        {"no delimiter line", std::string(MultipartSplitter::kMaxPreamble + 10, 'x')},
        {"only text lines", std::string(3000, 'x') + "\n" + std::string(3000, 'y') + "\n"},
        {"endless part headers", "--kv\r\n" + std::string(MultipartSplitter::kMaxHeaderBlock + 10, 'h')},
        {"too many header lines", "--kv\r\n" + [] {
             std::string h;
             while (h.size() <= MultipartSplitter::kMaxHeaderBlock) h += "X-Pad: 0123456789\r\n";
             return h;
         }()},
        {"body ends before any part", "not multipart at all"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        MultipartSplitter splitter("kv");
        MultipartSplitter::Sink sink{[](const MultipartSplitter::Part&) { ADD_FAILURE() << "a part"; },
                                     [](const std::uint8_t*, std::size_t) { ADD_FAILURE() << "data"; }};
        for (char ch : c.body) {
            splitter.feed(reinterpret_cast<const std::uint8_t*>(&ch), 1, sink);
            ASSERT_LE(splitter.heldBytes(), MultipartSplitter::kMaxHeaderBlock + 1);
        }
        splitter.finish(sink);
        EXPECT_TRUE(splitter.malformed());
        // Once malformed, input is refused.
        EXPECT_FALSE(splitter.feed(reinterpret_cast<const std::uint8_t*>("--kv\r\n"), 6, sink));
    }

    // A long part is passed on as it comes; only a possible delimiter start is held back.
    MultipartSplitter splitter("kv");
    std::size_t passed = 0;
    MultipartSplitter::Sink sink{[](const MultipartSplitter::Part&) {}, [&](const std::uint8_t*, std::size_t n) { passed += n; }};
    std::string head = "--kv\r\n\r\n";
    splitter.feed(reinterpret_cast<const std::uint8_t*>(head.data()), head.size(), sink);
    std::string chunk(100000, 'z');
    chunk += "\r\n--";
    splitter.feed(reinterpret_cast<const std::uint8_t*>(chunk.data()), chunk.size(), sink);
    EXPECT_EQ(passed, 100000u);
    EXPECT_EQ(splitter.heldBytes(), 4u);
}

TEST(MultipartSplitter, BoundaryParameter) {
    struct Case {
        std::string header;
        std::string boundary;
    } cases[] = {
        {"multipart/x-mixed-replace;boundary=frame", "frame"},
        {"multipart/x-mixed-replace; Boundary=\"--my frame\"; x=1", "--my frame"},
        {"multipart/x-mixed-replace", ""},
        {"multipart/x-mixed-replace; charset=x", ""},
    };
    for (const auto& c : cases) EXPECT_EQ(MultipartSplitter::boundaryOf(c.header), c.boundary) << c.header;
}
