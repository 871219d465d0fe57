#include "VornKit/Platform/Http/DownloadFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <ctime>

namespace vk {

namespace {

constexpr std::chrono::milliseconds kProgressInterval{50};

/// The partial file is handed to the disk in steps of this size while the body arrives, so that
/// the flush before the rename finds little left to write (the disk works while the network
/// does) and a large download does not pile up dirty pages.
constexpr std::int64_t kWriteBehindStep = 4 << 20;

std::string errnoText(int error) {
    return std::strerror(error);
}

std::optional<std::int64_t> parseNumber(std::string_view text) {
    std::int64_t value = 0;
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec != std::errc() || end != text.data() + text.size() || value < 0)
        return std::nullopt;
    return value;
}

/// "bytes A-B/T" (T may be "*"): the first byte A and the whole length T when given.
std::optional<std::pair<std::int64_t, std::optional<std::int64_t>>> parseContentRange(
    std::string_view text) {
    constexpr std::string_view kUnit = "bytes ";
    if (text.substr(0, kUnit.size()) != kUnit)
        return std::nullopt;
    text.remove_prefix(kUnit.size());
    std::size_t dash = text.find('-');
    std::size_t slash = text.find('/');
    if (dash == std::string_view::npos || slash == std::string_view::npos || slash < dash)
        return std::nullopt;
    auto first = parseNumber(text.substr(0, dash));
    auto last = parseNumber(text.substr(dash + 1, slash - dash - 1));
    if (!first || !last || *last < *first)
        return std::nullopt;
    std::string_view total = text.substr(slash + 1);
    if (total == "*")
        return std::make_pair(*first, std::optional<std::int64_t>());
    auto length = parseNumber(total);
    if (!length || *length <= *last)
        return std::nullopt;
    return std::make_pair(*first, length);
}

/// "bytes */T", the form of a 416 answer: the whole length T.
std::optional<std::int64_t> parseUnsatisfiedRange(std::string_view text) {
    constexpr std::string_view kPrefix = "bytes */";
    if (text.substr(0, kPrefix.size()) != kPrefix)
        return std::nullopt;
    return parseNumber(text.substr(kPrefix.size()));
}

// The extended attribute of a partial file that keeps the validator of the answer its bytes came
// from, and the longest validator kept.
constexpr const char* kValidatorAttribute = "user.vornkit.validator";
constexpr std::size_t kValidatorMax = 512;

// Whether `value` can go into a request header as it is: printable ASCII, nothing else.
bool usableValidator(std::string_view value) {
    if (value.empty() || value.size() > kValidatorMax)
        return false;
    for (unsigned char c : value) {
        if (c < 0x20 || c > 0x7e)
            return false;
    }
    return true;
}

// An HTTP date ("Sun, 06 Nov 1994 08:49:37 GMT") in seconds since the epoch.
std::optional<std::time_t> httpDate(const std::string& text) {
    std::tm parts{};
    const char* end = ::strptime(text.c_str(), "%a, %d %b %Y %H:%M:%S GMT", &parts);
    if (end == nullptr || *end != '\0')
        return std::nullopt;
    return ::timegm(&parts);
}

// What identifies the version of the file an answer sends, as If-Range may name it: a strong
// entity tag; without any tag, a Last-Modified date at least a second before the answer's Date
// (a file changed within that second could keep its date). Absent otherwise: a weak tag vouches
// for nothing, and with a tag a date may not be used.
std::optional<std::string> validatorOf(const UrlResponse& head) {
    std::optional<std::string> value = head.headers.value("ETag");
    if (value) {
        if (value->rfind("W/", 0) == 0)
            return std::nullopt;
    } else {
        value = head.headers.value("Last-Modified");
        auto modified = value ? httpDate(*value) : std::nullopt;
        auto date = head.headers.value("Date");
        auto sent = date ? httpDate(*date) : std::nullopt;
        if (!modified || !sent || *sent - *modified < 1)
            return std::nullopt;
    }
    if (!usableValidator(*value))
        return std::nullopt;
    return value;
}

// Whether a 206 answer to a request that named `validator` in If-Range sends that version: the
// answer's own ETag, or for a date its Last-Modified, when it names one, must be the same.
bool sameVersion(const UrlResponse& head, const std::string& validator) {
    const bool isTag = validator.front() == '"';
    std::optional<std::string> named = head.headers.value(isTag ? "ETag" : "Last-Modified");
    return !named || *named == validator;
}

}  // namespace

DownloadFile::DownloadFile(std::filesystem::path destination, DownloadProgressHandler progress,
                           std::shared_ptr<DispatchQueue> progressQueue)
    : destination_(std::move(destination)),
      partial_(partialPath(destination_)),
      progressHandler_(std::move(progress)),
      progressQueue_(std::move(progressQueue)) {
    struct stat info {};
    if (::stat(partial_.c_str(), &info) == 0 && S_ISREG(info.st_mode))
        resumeOffset_ = static_cast<std::int64_t>(info.st_size);
    if (resumeOffset_ > 0) {
        char value[kValidatorMax];
        ssize_t size = ::getxattr(partial_.c_str(), kValidatorAttribute, value, sizeof value);
        if (size > 0 && usableValidator(std::string_view(value, static_cast<std::size_t>(size))))
            resumeValidator_ = std::string(value, static_cast<std::size_t>(size));
    }
    // Bytes whose version cannot be named (no validator was kept with them) could belong to a
    // file the server has changed since: they are not continued, the file starts over.
    if (!resumeValidator_)
        resumeOffset_ = 0;
}

DownloadFile::~DownloadFile() {
    std::lock_guard lock(mutex_);
    closeFile();
}

std::filesystem::path DownloadFile::partialPath(const std::filesystem::path& destination) {
    const std::string name = destination.filename().string();
    constexpr std::size_t kNameMax = 255;  // bytes in one name, on the file systems we write to
    constexpr std::string_view kSuffix = ".partial";
    if (1 + name.size() + kSuffix.size() <= kNameMax)
        return destination.parent_path() / ("." + name + std::string(kSuffix));
    // Too long to take the suffix: the name's first bytes and a hash of the whole name (FNV-1a,
    // fixed so that a later run finds the same partial file).
    std::uint64_t hash = 0xcbf29ce484222325ULL;
    for (unsigned char c : name) {
        hash ^= c;
        hash *= 0x100000001b3ULL;
    }
    char hex[17];
    std::snprintf(hex, sizeof hex, "%016llx", static_cast<unsigned long long>(hash));
    return destination.parent_path() /
           ("." + name.substr(0, 200) + "~" + hex + std::string(kSuffix));
}

void DownloadFile::closeFile() {
    if (fd_ >= 0)
        ::close(fd_);
    fd_ = -1;
}

bool DownloadFile::receiveHead(const UrlResponse& head) {
    std::lock_guard lock(mutex_);
    if (closed_)
        return false;
    headSeen_ = true;
    status_ = head.isHttp ? head.statusCode : 200;
    if (status_ == 416 && resumeOffset_ > 0) {
        // Nothing is left after the partial file's bytes: an attempt ended (a process killed, say)
        // after the last byte and before the move. A partial file of the file's length is the
        // whole file; one longer than the file is useless.
        auto total = parseUnsatisfiedRange(head.headers.value("Content-Range").value_or(""));
        if (total && *total == resumeOffset_) {
            written_ = resumeOffset_;
            expected_ = total;
            return true;
        }
        ::unlink(partial_.c_str());
        failure_ = UrlError::make(UrlError::badServerResponse,
                                  "the partial file does not fit the file on the server");
        return false;
    }
    if (status_ < 200 || status_ > 299) {
        writeBody_ = false;  // an error page is no part of the file
        return true;
    }
    writeBody_ = true;
    std::int64_t start = 0;
    if (status_ == 206) {
        auto range = parseContentRange(head.headers.value("Content-Range").value_or(""));
        if (!range || range->first != resumeOffset_) {
            // The rest of the file cannot be told from this answer: start over next time.
            ::unlink(partial_.c_str());
            failure_ = UrlError::make(UrlError::badServerResponse,
                                      "the server answered another range than the one asked for");
            return false;
        }
        if (!range->second) {
            // "bytes N-M/*": without the file's length, an answer cut short could not be told
            // from a complete file. Start over next time, with a request that gets the length.
            ::unlink(partial_.c_str());
            failure_ = UrlError::make(UrlError::badServerResponse,
                                      "the server did not say the length of the file");
            return false;
        }
        if (resumeOffset_ > 0 && !sameVersion(head, *resumeValidator_)) {
            // A server that answered the range without honouring If-Range: the rest is another
            // version's.
            ::unlink(partial_.c_str());
            failure_ = UrlError::make(UrlError::badServerResponse,
                                      "the server sent the rest of another version of the file");
            return false;
        }
        start = range->first;
        expected_ = range->second;
    } else if (auto length = head.headers.value("Content-Length")) {
        expected_ = parseNumber(*length);
    }
    int flags = O_WRONLY | O_CREAT | O_CLOEXEC | (start == 0 ? O_TRUNC : 0);
    fd_ = ::open(partial_.c_str(), flags, 0644);
    if (fd_ < 0) {
        failure_ = UrlError::make(UrlError::cannotCreateFile, errnoText(errno));
        return false;
    }
    if (start > 0 && (::ftruncate(fd_, start) != 0 || ::lseek(fd_, start, SEEK_SET) != start)) {
        failure_ = UrlError::make(UrlError::cannotWriteToFile, errnoText(errno));
        closeFile();
        return false;
    }
    if (start == 0) {
        // A new file: remember which version of it the bytes belong to, so that a later attempt
        // resumes only that version. Without a validator, or where the file system cannot keep
        // it, a later attempt starts over. The old note goes first: a note that could not be
        // replaced must not vouch for the new bytes.
        ::fremovexattr(fd_, kValidatorAttribute);
        std::optional<std::string> validator = validatorOf(head);
        if (validator)
            ::fsetxattr(fd_, kValidatorAttribute, validator->data(), validator->size(), 0);
    }
    written_ = start;
    return true;
}

bool DownloadFile::receive(const char* data, std::size_t size) {
    std::lock_guard lock(mutex_);
    if (closed_)
        return false;
    if (!writeBody_)
        return true;
    if (expected_ && written_ + static_cast<std::int64_t>(size) > *expected_) {
        // More bytes than the answer declared: which of them belong to the file cannot be told.
        closeFile();
        ::unlink(partial_.c_str());
        failure_ = UrlError::make(UrlError::badServerResponse,
                                  "the answer was longer than its Content-Length");
        return false;
    }
    while (size > 0) {
        ssize_t n = ::write(fd_, data, size);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            failure_ =
                UrlError::make(UrlError::cannotWriteToFile,
                               errnoText(n < 0 ? errno : EIO) + " (" + partial_.string() + ")");
            return false;
        }
        data += n;
        size -= static_cast<std::size_t>(n);
        const std::int64_t before = written_;
        written_ += n;
        if (before / kWriteBehindStep != written_ / kWriteBehindStep) {
            // Starts the write-out of the last whole step and returns; the outcome is what the
            // fdatasync in finish() reports.
            const std::int64_t end = written_ / kWriteBehindStep * kWriteBehindStep;
            ::sync_file_range(fd_, end - kWriteBehindStep, kWriteBehindStep, SYNC_FILE_RANGE_WRITE);
        }
    }
    // The last byte declared is reported at once: a caller may go on with other transfers
    // while this file is flushed.
    postProgress(expected_ && written_ == *expected_);
    return true;
}

void DownloadFile::progress(std::int64_t, std::int64_t) {
    // Counted in receive(), where the bytes reach the file.
}

void DownloadFile::postProgress(bool force) {
    if (!progressHandler_ || !progressQueue_)
        return;
    auto now = std::chrono::steady_clock::now();
    if (!force && now - lastPost_ < kProgressInterval)
        return;
    lastPost_ = now;
    progressQueue_->async([handler = progressHandler_, written = written_, expected = expected_] {
        handler(written, expected);
    });
}

std::optional<UrlError> DownloadFile::finish(const std::optional<UrlResponse>& response) {
    std::lock_guard lock(mutex_);
    if (failure_) {
        closeFile();
        closed_ = true;
        return failure_;
    }
    closed_ = true;
    if (!headSeen_ || !response) {
        closeFile();
        return UrlError::make(UrlError::badServerResponse, "no answer");
    }
    // A 416 that receiveHead() took names the partial file's own length: it is the whole file.
    const bool alreadyComplete = status_ == 416 && expected_ && written_ == *expected_;
    if (!writeBody_ && !alreadyComplete) {
        closeFile();
        return UrlError::make(UrlError::badServerResponse,
                              "HTTP status " + std::to_string(status_));
    }
    if (expected_ && written_ != *expected_) {
        closeFile();
        return UrlError::make(
            UrlError::networkConnectionLost,
            std::to_string(written_) + " of " + std::to_string(*expected_) + " bytes");
    }
    if (fd_ < 0) {
        // An empty body never opened the file; a complete partial file is kept as it is.
        const int truncate = alreadyComplete ? 0 : O_TRUNC;
        fd_ = ::open(partial_.c_str(), O_WRONLY | O_CREAT | truncate | O_CLOEXEC, 0644);
        if (fd_ < 0)
            return UrlError::make(UrlError::cannotCreateFile, errnoText(errno));
    }
    // The version note is for resuming only: the finished file does not carry it.
    ::fremovexattr(fd_, kValidatorAttribute);
    // On disk before it takes the final name: a crash never leaves a short file there.
    if (::fdatasync(fd_) != 0) {
        int error = errno;
        closeFile();
        return UrlError::make(UrlError::cannotWriteToFile, errnoText(error));
    }
    closeFile();
    if (::rename(partial_.c_str(), destination_.c_str()) != 0)
        return UrlError::make(UrlError::cannotMoveFile, errnoText(errno));
    postProgress(true);
    return std::nullopt;
}

void DownloadFile::abandon() {
    std::lock_guard lock(mutex_);
    closeFile();
    closed_ = true;
}

bool DownloadFile::sawHead() const {
    std::lock_guard lock(mutex_);
    return headSeen_;
}

std::optional<UrlError> DownloadFile::failure() const {
    std::lock_guard lock(mutex_);
    return failure_;
}

}  // namespace vk
