// Logging: the unified log (one public text line per event, subsystem = the host bundle's
// identifier, category = the class or record name), the plain console log (printf-style lines) and
// plain standard-output lines.
//
// Private values: a message may hold parts marked Private{...}; they are written as "<private>"
// unless the host turned private logging on (Log::setPrivateLoggingEnabled).
//
// Sinks: by default records go to the systemd journal when its socket is there (MESSAGE,
// SYSLOG_IDENTIFIER and the fields VORN_SUBSYSTEM / VORN_CATEGORY), to stderr otherwise;
// standard-output lines go to stdout. Tests install a CaptureLogSink.
//
// A host that never set a bundle identifier (Bundle::setMain) stops with a fatal error at the
// first unified-log line.
//
// Thread rule: everything here is thread-safe; sinks are called on the logging thread and must be
// thread-safe themselves.
#pragma once

#include <cstdarg>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "VornKit/Export.h"

namespace vk {

enum class LogKind {
    Unified,         ///< Logger::log: unified log, default level, public text
    Console,         ///< consoleLog: plain console log
    StandardOutput,  ///< standardOutputLine: plain stdout line
};

/// One line as a sink receives it.
struct VK_EXPORT LogRecord {
    /// Which log the line goes to.
    LogKind kind = LogKind::Unified;
    std::string subsystem;  ///< the bundle identifier (empty for standard-output lines)
    std::string category;   ///< class or record name
    std::string message;    ///< rendered text, private parts already redacted
};

/// Where log records go; implementations must be thread-safe.
class VK_EXPORT LogSink {
  public:
    virtual ~LogSink() = default;
    /// Writes one record, on the logging thread; must not throw.
    virtual void write(const LogRecord& record) = 0;
};

/// A value shown only when private logging is on.
struct VK_EXPORT Private {
    /// The value, written as "<private>" unless private logging is on.
    std::string value;
};

/// Builds a message out of public text and private values.
class VK_EXPORT LogMessage {
  public:
    LogMessage() = default;
    /// A message of one public text.
    /// @{
    LogMessage(std::string_view text) { parts_.push_back({std::string(text), false}); }  // NOLINT
    LogMessage(const char* text) : LogMessage(std::string_view(text)) {}                 // NOLINT
    LogMessage(const std::string& text) : LogMessage(std::string_view(text)) {}          // NOLINT
    /// @}

    /// Appends public text.
    LogMessage& operator<<(std::string_view text);
    /// Appends a private value ("<private>" unless private logging is on).
    LogMessage& operator<<(const Private& value);
    /// Appends an integer in decimal, as public text.
    LogMessage& operator<<(long long value);

    /// The text as it is written: private parts redacted unless `showPrivate`.
    std::string render(bool showPrivate) const;

  private:
    struct Part {
        std::string text;
        bool isPrivate;
    };
    std::vector<Part> parts_;
};

/// The unified-log handle of one category. Cheap to copy; usually a function-local static.
class VK_EXPORT Logger {
  public:
    /// A handle that writes under `category`.
    explicit Logger(std::string category) : category_(std::move(category)) {}
    /// Writes `message` to the unified log as one line (thread-safe).
    void log(const LogMessage& message) const;
    /// The category lines are written under.
    const std::string& category() const { return category_; }

  private:
    std::string category_;
};

/// A printf-style line to the plain console log under `category`.
VK_EXPORT void consoleLog(std::string_view category, const char* format, ...)
    __attribute__((format(printf, 2, 3)));
/// A plain line on standard output (the watch session's status lines).
VK_EXPORT void standardOutputLine(std::string_view line);

/// The process-wide log settings: the sink and private logging.
class VK_EXPORT Log {
  public:
    /// Replaces the sink every record goes to; returns the previous one. nullptr restores the
    /// default sink.
    static std::shared_ptr<LogSink> setSink(std::shared_ptr<LogSink> sink);
    /// Shows private values in later lines when true (off at first).
    static void setPrivateLoggingEnabled(bool enabled);
    /// Whether private values are shown.
    static bool privateLoggingEnabled();
    /// The journal-or-stderr sink used when none is installed.
    static std::shared_ptr<LogSink> defaultSink();
    /// Hands `record` to the installed sink (the default one when none is), on this thread.
    static void write(LogRecord record);
};

/// Keeps every record in memory, for tests. Thread-safe.
class VK_EXPORT CaptureLogSink : public LogSink {
  public:
    /// Keeps a copy of `record`.
    void write(const LogRecord& record) override;
    /// A copy of every record kept, in order.
    std::vector<LogRecord> records() const;
    /// Messages of one category (all categories when empty), in order.
    std::vector<std::string> messages(std::string_view category = {}) const;
    /// Whether a kept message contains `messageSubstring`.
    bool contains(std::string_view messageSubstring) const;
    /// How many messages equal `message` exactly.
    size_t count(std::string_view message) const;
    /// Forgets every record kept.
    void clear();

  private:
    mutable std::mutex mutex_;
    std::vector<LogRecord> records_;
};

}  // namespace vk
