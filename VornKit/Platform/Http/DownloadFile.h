// DownloadFile: where a download task's body goes. The bytes are written to a partial file beside
// the destination (".<name>.partial" in the destination's folder), never held in memory; once the
// transfer has succeeded finish() flushes the partial file to disk and renames it to the
// destination in one step, so a file under the destination's name is always complete. A failed or
// cancelled transfer leaves the partial file for the next attempt. That attempt continues it only
// when the answer that began the partial file named its version (a strong ETag or, from a server
// that sends no ETag, a Last-Modified date at least a second older than the answer's Date) and
// the version was kept beside it (an extended attribute of the partial file, not carried by the
// finished file): it asks for the rest of that version ("Range: bytes=<size>-" with
// "If-Range: <validator>"). Without a kept validator (a weak ETag, none at all, a file system
// without user extended attributes) the attempt asks for the whole file and starts over. Answers:
//   - 206 whose Content-Range starts at that size: the rest is appended;
//   - 206 that starts anywhere else, that does not give the file's length ("bytes N-M/*"), or
//     that names another version in its ETag or Last-Modified: the partial file is dropped and
//     the transfer fails (the next attempt starts over);
//   - any other 2xx (also the answer of a server whose file is no longer the version the partial
//     file holds): the server sends the whole file; the partial file starts over;
//   - a status outside 2xx: the body is not written and the partial file is left as it was.
//
// Thread rule: receiveHead/receive/progress run on the transport's thread; finish() and abandon()
// after the transfer ended, from any thread; a mutex guards the file against a cancellation that
// arrives while a piece is being written. The progress handler runs on the queue given.
#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "VornKit/Platform/Http/UrlTransport.h"
#include "VornKit/Platform/Runtime/Dispatch.h"

namespace vk {

/// Bytes of the file written so far (a resumed download counts the bytes it started with) and
/// the file's whole size when the server said it.
using DownloadProgressHandler =
    std::function<void(std::int64_t totalBytesWritten, std::optional<std::int64_t> expected)>;

/// The sink of one download attempt: owned by the task that runs the transfer.
class VK_EXPORT DownloadFile : public TransferSink {
  public:
    /// `progress` (may be empty) is called on `progressQueue`, at most every 50 ms; at once when
    /// the body's last declared byte has been written (the count equals the size the server
    /// said), before the flush; and once more with the final count before finish() returns
    /// success.
    DownloadFile(std::filesystem::path destination, DownloadProgressHandler progress,
                 std::shared_ptr<DispatchQueue> progressQueue);
    ~DownloadFile() override;

    /// ".<name>.partial" beside `destination`; for a name too long to take that suffix: a dot,
    /// the name's first 200 bytes, "~", a 16-digit hash of the whole name and ".partial".
    static std::filesystem::path partialPath(const std::filesystem::path& destination);

    /// Where the complete file goes; valid as long as this object.
    const std::filesystem::path& destination() const { return destination_; }
    /// Bytes of the partial file that the transfer continues from: its size when the object was
    /// made, or 0 when no validator names the version its bytes belong to.
    std::int64_t resumeOffset() const { return resumeOffset_; }
    /// The version of the file the partial file's bytes belong to (the If-Range value), when the
    /// answer that began it named one.
    const std::optional<std::string>& resumeValidator() const { return resumeValidator_; }

    /// Opens or resumes the partial file as the answer allows; false (with failure() set) when the
    /// answer cannot continue it or the file cannot be opened.
    bool receiveHead(const UrlResponse& head) override;
    /// Appends a piece of a 2xx body to the partial file; false (with failure() set) when the write
    /// fails, the body runs past its declared length, or the sink was closed.
    bool receive(const char* data, std::size_t size) override;
    void progress(std::int64_t received, std::int64_t expected) override;

    /// After a transfer that succeeded with `response`: flushes the file to disk and moves it to
    /// the destination. Absent on success; otherwise the error (the partial file stays unless the
    /// answer made it useless).
    std::optional<UrlError> finish(const std::optional<UrlResponse>& response);
    /// After a failed or cancelled transfer: closes the partial file and keeps it.
    void abandon();
    /// Whether the answer's head has arrived.
    bool sawHead() const;
    /// Why the sink refused the transfer, if it did.
    std::optional<UrlError> failure() const;

  private:
    void closeFile();
    void postProgress(bool force);

    const std::filesystem::path destination_;
    const std::filesystem::path partial_;
    const DownloadProgressHandler progressHandler_;
    const std::shared_ptr<DispatchQueue> progressQueue_;
    std::int64_t resumeOffset_ = 0;
    std::optional<std::string> resumeValidator_;

    mutable std::mutex mutex_;
    int fd_ = -1;
    bool closed_ = false;     // abandon() or finish() ran: no more writes
    bool writeBody_ = false;  // the answer's body belongs in the file (a 2xx)
    bool headSeen_ = false;
    int status_ = 0;
    std::int64_t written_ = 0;  // bytes in the file, the resumed ones included
    std::optional<std::int64_t> expected_;
    std::optional<UrlError> failure_;
    std::chrono::steady_clock::time_point lastPost_{};
};

}  // namespace vk
