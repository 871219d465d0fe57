#include "VornKit/Platform/Runtime/Log.h"

#include <systemd/sd-journal.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <filesystem>

#include "VornKit/Platform/Runtime/Bundle.h"
#include "VornKit/Platform/Runtime/FatalError.h"
#include "VornKit/Platform/Runtime/Immortal.h"

namespace vk {

namespace {

std::atomic<bool> gPrivateEnabled{false};

// The sink state is never destroyed: worker threads still log while the process exits.
std::mutex& sinkMutex() {
    static Immortal<std::mutex> mutex;
    return *mutex;
}

std::shared_ptr<LogSink>& installedSink() {
    static Immortal<std::shared_ptr<LogSink>> sink;
    return *sink;
}

class SystemSink : public LogSink {
  public:
    SystemSink() {
        std::error_code ec;
        journal_ = std::filesystem::exists("/run/systemd/journal/socket", ec);
    }

    void write(const LogRecord& record) override {
        if (record.kind == LogKind::StandardOutput) {
            std::lock_guard lock(mutex_);
            std::fwrite(record.message.data(), 1, record.message.size(), stdout);
            std::fputc('\n', stdout);
            std::fflush(stdout);
            return;
        }
        if (journal_) {
            sd_journal_send("MESSAGE=%s", record.message.c_str(), "SYSLOG_IDENTIFIER=%s",
                            record.subsystem.empty() ? "VornKit" : record.subsystem.c_str(),
                            "VORN_SUBSYSTEM=%s", record.subsystem.c_str(), "VORN_CATEGORY=%s",
                            record.category.c_str(), "PRIORITY=%i", 5, nullptr);
            return;
        }
        std::lock_guard lock(mutex_);
        std::fprintf(stderr, "[%s:%s] %s\n", record.subsystem.c_str(), record.category.c_str(),
                     record.message.c_str());
    }

  private:
    bool journal_ = false;
    std::mutex mutex_;
};

std::string subsystemOrDie() {
    auto identifier = Bundle::main().identifier;
    if (!identifier || identifier->empty()) {
        fatalError("the host bundle has no identifier; call Bundle::setMain at start-up",
                   "VornKit/Platform/Log");
    }
    return *identifier;
}

}  // namespace

LogMessage& LogMessage::operator<<(std::string_view text) {
    parts_.push_back({std::string(text), false});
    return *this;
}

LogMessage& LogMessage::operator<<(const Private& value) {
    parts_.push_back({value.value, true});
    return *this;
}

LogMessage& LogMessage::operator<<(long long value) {
    parts_.push_back({std::to_string(value), false});
    return *this;
}

std::string LogMessage::render(bool showPrivate) const {
    std::string out;
    for (const auto& part : parts_) {
        out += (part.isPrivate && !showPrivate) ? std::string("<private>") : part.text;
    }
    return out;
}

void Logger::log(const LogMessage& message) const {
    LogRecord record;
    record.kind = LogKind::Unified;
    record.subsystem = subsystemOrDie();
    record.category = category_;
    record.message = message.render(Log::privateLoggingEnabled());
    Log::write(std::move(record));
}

void consoleLog(std::string_view category, const char* format, ...) {
    va_list args;
    va_start(args, format);
    va_list copy;
    va_copy(copy, args);
    int size = std::vsnprintf(nullptr, 0, format, copy);
    va_end(copy);
    std::string text(size > 0 ? static_cast<size_t>(size) : 0, '\0');
    if (size > 0) {
        std::vsnprintf(text.data(), text.size() + 1, format, args);
    }
    va_end(args);
    LogRecord record;
    record.kind = LogKind::Console;
    record.subsystem = Bundle::main().identifier.value_or("");
    record.category = std::string(category);
    record.message = std::move(text);
    Log::write(std::move(record));
}

void standardOutputLine(std::string_view line) {
    LogRecord record;
    record.kind = LogKind::StandardOutput;
    record.message = std::string(line);
    Log::write(std::move(record));
}

std::shared_ptr<LogSink> Log::setSink(std::shared_ptr<LogSink> sink) {
    std::lock_guard lock(sinkMutex());
    auto previous = installedSink();
    installedSink() = std::move(sink);
    return previous;
}

void Log::setPrivateLoggingEnabled(bool enabled) {
    gPrivateEnabled.store(enabled);
}

bool Log::privateLoggingEnabled() {
    return gPrivateEnabled.load();
}

std::shared_ptr<LogSink> Log::defaultSink() {
    static const Immortal<std::shared_ptr<LogSink>> sink(std::make_shared<SystemSink>());
    return *sink;
}

void Log::write(LogRecord record) {
    std::shared_ptr<LogSink> sink;
    {
        std::lock_guard lock(sinkMutex());
        sink = installedSink();
    }
    if (!sink) {
        sink = defaultSink();
    }
    sink->write(record);
}

void CaptureLogSink::write(const LogRecord& record) {
    std::lock_guard lock(mutex_);
    records_.push_back(record);
}

std::vector<LogRecord> CaptureLogSink::records() const {
    std::lock_guard lock(mutex_);
    return records_;
}

std::vector<std::string> CaptureLogSink::messages(std::string_view category) const {
    std::lock_guard lock(mutex_);
    std::vector<std::string> out;
    for (const auto& r : records_) {
        if (category.empty() || r.category == category) {
            out.push_back(r.message);
        }
    }
    return out;
}

bool CaptureLogSink::contains(std::string_view messageSubstring) const {
    std::lock_guard lock(mutex_);
    for (const auto& r : records_) {
        if (r.message.find(messageSubstring) != std::string::npos) {
            return true;
        }
    }
    return false;
}

size_t CaptureLogSink::count(std::string_view message) const {
    std::lock_guard lock(mutex_);
    size_t n = 0;
    for (const auto& r : records_) {
        n += (r.message == message) ? 1 : 0;
    }
    return n;
}

void CaptureLogSink::clear() {
    std::lock_guard lock(mutex_);
    records_.clear();
}

}  // namespace vk
