// Reports and assertions: the per-thread context, the handler, the saved errno.

// ZKAssertFail_ hands over to the C library's own assertion reporter, whose declaration <assert.h>
// hides under NDEBUG; release builds define NDEBUG, and our assertions must survive them.
#undef NDEBUG
#include <assert.h>

#include "zklib/zklib.h"

#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

struct Context {
    const char* path;
    int line;
    const char* module;
    const char* function;
    int severity;
    int flag;
};

// What a report sees when nobody set a context: an error with no location. Every report falls back
// to it afterwards, so a context cannot leak into an unrelated later report.
constexpr Context kNoContext{"", 0, "", "", 3, 0};
constexpr int kFatal = 4;
constexpr int kError = 3;

thread_local Context tlsContext = kNoContext;
// Whether the report being delivered on this thread returns to its caller. A severity-4 report
// through ZKErrorRethrow_ does (the caller fails cleanly and the process goes on), so the default
// handler words it as an error: "fatal" is kept for the reports that end the process.
thread_local bool tlsReportReturns = false;

void DefaultHandler(const char* path, int line, const char* module, const char* function, int severity,
                    int /*flag*/, const char* text) {
    const char* label = severity >= kFatal && !tlsReportReturns ? "fatal: " : severity >= kError ? "error: " : "";
    // One call, so lines from concurrent threads do not interleave.
    std::fprintf(stderr, "%s:%d: %s: %s: %s%s\n", path, line, module, function, label, text);
}

std::atomic<ZKMessageHandler> gHandler{DefaultHandler};

const char* OrEmpty(const char* s) { return s != nullptr ? s : ""; }

// The formatted text of one report, plus an optional suffix. Most texts fit the stack buffer; a
// longer one goes to the heap, and if even that fails the report is truncated rather than lost.
class ReportText {
public:
    ReportText(const char* format, va_list args, const char* suffix) {
        va_list copy;
        va_copy(copy, args);
        int n = std::vsnprintf(local_, sizeof local_, format, copy);
        va_end(copy);
        bool printable = n >= 0;
        if (!printable) {
            std::snprintf(local_, sizeof local_, "(unprintable message: %s)", format);
            n = static_cast<int>(std::strlen(local_));
        }
        size_t formatted = static_cast<size_t>(n);
        size_t suffixLength = std::strlen(suffix);
        size_t need = formatted + suffixLength + 1;
        size_t capacity = sizeof local_;
        if (printable && need > capacity) {
            if (char* heap = static_cast<char*>(std::malloc(need))) {
                heap_ = heap;
                text_ = heap;
                capacity = need;
                std::vsnprintf(heap_, capacity, format, args);
            }
        }
        size_t length = formatted < capacity - 1 ? formatted : capacity - 1;
        size_t room = capacity - 1 - length;
        size_t take = suffixLength < room ? suffixLength : room;
        std::memcpy(text_ + length, suffix, take);
        text_[length + take] = '\0';
    }
    ~ReportText() { std::free(heap_); }
    ReportText(const ReportText&) = delete;
    ReportText& operator=(const ReportText&) = delete;

    const char* c_str() const { return text_; }

private:
    char local_[1024];
    char* heap_ = nullptr;
    char* text_ = local_;
};

// Delivers one report. Returns only when the report is not fatal or fatal is not allowed to stop
// the process (ZKErrorRethrow_ always returns).
void Deliver(const char* format, va_list args, const char* suffix, bool fatalStops) {
    int savedErrno = errno;
    ReportText text(format != nullptr ? format : "", args, suffix);
    // Taken and reset before the handler runs, so a handler that reports starts from a clean slate.
    Context context = tlsContext;
    tlsContext = kNoContext;
    ZKMessageHandler handler = gHandler.load(std::memory_order_acquire);
    const bool returnedBefore = tlsReportReturns;
    tlsReportReturns = !(fatalStops && context.severity == kFatal);
    handler(context.path, context.line, context.module, context.function, context.severity, context.flag,
            text.c_str());
    tlsReportReturns = returnedBefore;
    if (fatalStops && context.severity == kFatal) {
        std::abort();
    }
    errno = savedErrno;
}

// Saved errno values. Nested save/restore pairs unwind in order; a nesting deeper than the ring
// overwrites the outermost values first, which are the least likely to still matter.
constexpr unsigned kSavedDepth = 8;
thread_local int tlsSaved[kSavedDepth];
thread_local unsigned tlsSavedCount = 0;

}  // namespace

extern "C" {

ZK_EXPORT void ZKAssertFail_(const char* condition, const char* path, int line, const char* function) {
    __assert_fail(OrEmpty(condition), OrEmpty(path), static_cast<unsigned>(line), OrEmpty(function));
}

ZK_EXPORT void ZKSetMessageContext2_(const char* path, int line, const char* module, const char* function,
                                     int severity, int flag) {
    tlsContext = Context{OrEmpty(path), line, OrEmpty(module), OrEmpty(function), severity, flag};
}

ZK_EXPORT void ZKMessage_(const char* format, ...) {
    va_list args;
    va_start(args, format);
    Deliver(format, args, "", true);
    va_end(args);
}

ZK_EXPORT void ZKErrorRethrow_(const char* format, ...) {
    int err = errno;
    char buffer[256];
    // The GNU strerror_r: it may return a static string instead of filling the buffer.
    const char* reason = strerror_r(err, buffer, sizeof buffer);
    char suffix[300];
    std::snprintf(suffix, sizeof suffix, ": %s", reason);
    va_list args;
    va_start(args, format);
    Deliver(format, args, suffix, false);
    va_end(args);
    errno = err;
}

ZK_EXPORT void ZKErrorSave(void) {
    tlsSaved[tlsSavedCount % kSavedDepth] = errno;
    ++tlsSavedCount;
}

ZK_EXPORT void ZKErrorRestore(void) {
    if (tlsSavedCount == 0) {
        return;  // unbalanced: there is nothing to put back
    }
    --tlsSavedCount;
    errno = tlsSaved[tlsSavedCount % kSavedDepth];
}

ZK_EXPORT void zkassert_(const char* condition, const char* path, int line, int value) {
    if (value != 0) {
        return;
    }
    ZKSetMessageContext2_(path, line, "zklib", "zkassert", kError, 0);
    ZKMessage_("assertion failed: %s", OrEmpty(condition));
}

ZK_EXPORT ZKMessageHandler ZKSetMessageHandler(ZKMessageHandler handler) {
    return gHandler.exchange(handler != nullptr ? handler : DefaultHandler, std::memory_order_acq_rel);
}

}  // extern "C"
