#include "fileevents.h"

#include <ctime>

#include "capture.h"

namespace {

double monotonic()
{
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

std::string absolute(const std::string& dir)
{
    if (!dir.empty() && dir[0] == '/')
        return dir;
    const std::string here = current_directory();
    return dir.empty() ? here : here + "/" + dir;
}

}  // namespace

FileEvents::FileEvents(EventStream& events, const RunSettings& s, const std::string& dir,
                       LogConversion& conversion)
    : events_(events),
      scanner_(EventScanner::Sink{
                   [this](const FileFacts& f) {
                       started_[f.name] = monotonic();
                       events_.file(f.name, f.size);
                   },
                   [this](const FileFacts& f) { events_.progress(f.name, f.bytes, f.size, f.bps); },
                   [this](const FileFacts& f, FailReason why, const std::string& message,
                          const std::string& partial) {
                       events_.failed(f.name, f.bytes, reason_word(why), message, partial);
                   }},
               s.action == Direction::send, s.action == Direction::send ? s.filename : std::vector<std::string>{},
               absolute(dir))
{
    events_.start(s, absolute(dir));
    conversion.watch([this](std::string_view bytes) { scanner_.feed(bytes); },
                     [this](const TransferLogRecord& rec, const std::string* line) {
                         const FileFacts* f = scanner_.facts(rec.file);
                         const auto at = started_.find(rec.file);
                         const double seconds = at == started_.end() ? 0 : monotonic() - at->second;
                         events_.done(rec.file, f ? f->bytes : 0, seconds, f ? f->bps : 0, line);
                         scanner_.completed(rec.file);
                     });
}

void FileEvents::ended(std::optional<int> wait_status, bool could_not_run, int stop)
{
    scanner_.finish(wait_status.value_or(-1), stop);
    events_.command_ended(wait_status, could_not_run);
}
