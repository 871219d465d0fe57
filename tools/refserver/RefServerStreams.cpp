// RefServer's streamed answers (Response::stream): Range and If-Range requests, and the stream's
// faults (pauses, a cut, a range that starts elsewhere, no total, extra bytes).
#include <httplib.h>

#include <algorithm>
#include <memory>
#include <thread>

#include "refserver/ErrorAnswer.h"
#include "refserver/RefServer.h"

namespace refserver {

namespace {

// The first range of a "Range: bytes=..." header as [first, last] within `length`; absent when
// there is none; first > last (an empty range) when it cannot be satisfied.
std::optional<std::pair<std::uint64_t, std::uint64_t>> requestedRange(const httplib::Request& in,
                                                                      std::uint64_t length) {
    if (in.ranges.empty())
        return std::nullopt;
    auto [first, last] = in.ranges.front();
    if (first < 0) {  // "bytes=-N": the last N bytes
        std::uint64_t tail = std::min<std::uint64_t>(static_cast<std::uint64_t>(last), length);
        return std::make_pair(length - tail, length == 0 ? 0 : length - 1);
    }
    std::uint64_t from = static_cast<std::uint64_t>(first);
    std::uint64_t to = last < 0 ? length - 1 : std::min<std::uint64_t>(last, length - 1);
    if (length == 0 || from >= length)
        return std::make_pair(std::uint64_t{1}, std::uint64_t{0});
    return std::make_pair(from, to);
}

// Streams [from, from + count) of `stream` through `sink` in pieces of 64 KiB, with the stream's
// faults; false ends the answer by closing the connection.
bool streamPiece(const BodyStream& stream, std::uint64_t from, std::uint64_t count,
                 std::uint64_t& sent, httplib::DataSink& sink) {
    constexpr std::size_t kPiece = 64 << 10;
    std::string buffer;
    while (sent < count) {
        if (stream.pause.count() > 0)
            std::this_thread::sleep_for(stream.pause);
        std::uint64_t piece = std::min<std::uint64_t>(kPiece, count - sent);
        if (stream.cutAfter && sent + piece > *stream.cutAfter) {
            piece = *stream.cutAfter - std::min(sent, *stream.cutAfter);
            buffer.clear();
            stream.read(from + sent, static_cast<std::size_t>(piece), buffer);
            if (!buffer.empty())
                sink.write(buffer.data(), buffer.size());
            return false;
        }
        buffer.clear();
        stream.read(from + sent, static_cast<std::size_t>(piece), buffer);
        if (!sink.write(buffer.data(), buffer.size()))
            return false;
        sent += piece;
    }
    return true;
}

}  // namespace

void RefServer::answerStream(const httplib::Request& in, httplib::Response& out, BodyStream stream,
                             const std::string& contentType) {
    auto shared = std::make_shared<BodyStream>(std::move(stream));
    const std::uint64_t length = shared->length;
    out.set_header("Accept-Ranges", "bytes");
    if (shared->etag) {
        out.set_header("ETag", *shared->etag);
        // The client holds the start of another version: it gets this one whole.
        if (in.has_header("If-Range") && in.get_header_value("If-Range") != *shared->etag)
            const_cast<httplib::Request&>(in).ranges.clear();
    }
    auto range = requestedRange(in, length);
    if (range &&
        (shared->wrongRangeStart || (shared->unknownTotal && range->first <= range->second))) {
        // A 206 written here rather than by the HTTP library: one whose Content-Range does not
        // start where the request asked, or one that does not give the length ("*"). Without a
        // length the HTTP library leaves the answer as it is and closes the connection after it.
        const std::uint64_t from =
            shared->wrongRangeStart ? std::min(*shared->wrongRangeStart, length) : range->first;
        out.status = 206;
        out.set_header("Content-Range",
                       "bytes " + std::to_string(from) + "-" + std::to_string(length - 1) + "/" +
                           (shared->unknownTotal ? std::string("*") : std::to_string(length)));
        auto sent = std::make_shared<std::uint64_t>(0);
        out.set_content_provider(contentType,
                                 [shared, from, length, sent](size_t, httplib::DataSink& sink) {
                                     if (!streamPiece(*shared, from, length - from, *sent, sink))
                                         return false;
                                     sink.done();
                                     return true;
                                 });
        return;
    }
    if (range && shared->ignoreRange) {
        out.status = 200;
        auto sent = std::make_shared<std::uint64_t>(0);
        out.set_content_provider(contentType,
                                 [shared, length, sent](size_t, httplib::DataSink& sink) {
                                     if (!streamPiece(*shared, 0, length, *sent, sink))
                                         return false;
                                     sink.done();
                                     return true;
                                 });
        return;
    }
    if (range && range->first > range->second) {
        // Whole, as it stands: the HTTP library would cut this page to the range too.
        const_cast<httplib::Request&>(in).ranges.clear();
        out.status = 416;
        out.set_header("Content-Range", "bytes */" + std::to_string(length));
        out.set_content(jsonError(416, "range not satisfiable"), kJsonType);
        return;
    }
    // The HTTP library answers a Range request from a provider of known length itself (206,
    // Content-Range, the length of the range) and asks the provider for the range's bytes.
    out.status = range ? 206 : 200;
    out.set_content_provider(static_cast<size_t>(length), contentType,
                             [shared](size_t offset, size_t size, httplib::DataSink& sink) {
                                 // The library asks for what is left of the range; all of it is
                                 // streamed in one call.
                                 std::uint64_t sent = 0;
                                 if (shared->extraBytes == 0)
                                     return streamPiece(*shared, offset, size, sent, sink);
                                 // The extra bytes go out in the same write as the end of the body,
                                 // so that the client reads them together.
                                 std::string all;
                                 shared->read(offset, size, all);
                                 shared->read(0, static_cast<std::size_t>(shared->extraBytes), all);
                                 return sink.write(all.data(), all.size());
                             });
}

}  // namespace refserver
