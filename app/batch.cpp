// The zmrbatch driver: finds the documents named (and, with -r, those under
// the folders named), digests them on several threads, and records each in
// the order named and walked, whatever order the digests finished in: the
// outcome never depends on the thread count or on timing. It alone prints:
// a line a file on standard output, trouble and the summary on standard
// error.
#include "app/batch.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <unordered_set>
#include <utility>
#include <vector>

#include "app/options.h"
#include "app/output.h"
#include "digest/both_digests.h"
#include "platform/platform.h"
#include "record/record_file.h"

namespace {

constexpr const char* PROGRAM = "zmrbatch";

// Records written to their temporary files and flushed to the disk together.
constexpr std::size_t FLUSH_GROUP = 64;
// How many digested files may wait, per thread, for the writer.
constexpr std::size_t AHEAD_PER_JOB = 4;
constexpr unsigned MAX_JOBS = 256;

void print_usage() {
  std::fputs(
      "Usage: zmrbatch [OPTION]... PATH...\n"
      "Record each FILE named, and with -r each file under each folder named, as\n"
      "zmrgen records one: both digests, read identically twice, in a record named\n"
      "after the SHA-1 digest.\n"
      "\n"
      "  -d, --records=DIR    write the records in DIR (default: the current\n"
      "                       directory, as zmrgen)\n"
      "  -r, --recursive      record the files under each folder named, in byte\n"
      "                       order of their names; symbolic links and special\n"
      "                       files found there are passed over, as are records\n"
      "                       in the records folder\n"
      "      --renew          rewrite a record of the same content with a new\n"
      "                       creation time (default: leave it as it stands)\n"
      "  -j, --jobs=N         digest N files at once (default: the processors this\n"
      "                       process may use)\n"
      "  -q, --quiet          print no 'recorded' and 'already recorded' lines, and\n"
      "                       no progress\n"
      "      --json           one JSON object a file instead of the lines\n"
      "  -h, --help           show this help and exit\n"
      "      --version        show the version and exit\n"
      "\n"
      "Each file gives one line: 'FILE: recorded (NAME, created TIME)', 'FILE:\n"
      "already recorded (...)' or 'FILE: not recorded (NAME holds the record of\n"
      "other content)'. Trouble with a file is said on standard error and the\n"
      "others are still recorded.\n"
      "\n"
      "Example: zmrbatch -r --records ~/records ~/documents\n"
      "\n"
      "Exit status: 0 every file has its record, 1 some were not recorded, 2 trouble.\n",
      stdout);
}

struct BatchCommand {
  std::vector<const char*> operands;
  const char* records = nullptr;  // nullptr: the current directory
  bool recursive = false;
  bool renew = false;
  bool quiet = false;
  bool json = false;
  unsigned jobs = 0;
};

// ---- Finding the documents ----

// A file to record, as named or walked. Only names are kept for the whole
// run: the work on each is done and gone before the files far behind it.
struct Document {
  std::string path;
  std::uint64_t size;
  const char* trouble;  // a reason found before any read, or nullptr
};

// Eight uppercase hex digits and ".zmr" at `name`.
bool has_record_form(const char* name) {
  for (int i = 0; i < 8; ++i) {
    const char c = name[i];
    if (!((c >= '0' && c <= '9') || (c >= 'A' && c <= 'F'))) return false;
  }
  return std::strncmp(name + 8, ".zmr", 4) == 0;
}

// A record's name, or the temporary name a record is written under first
// (a dot, the record's name, a dot and a unique ending).
bool is_record_file(const char* name) {
  if (has_record_form(name) && name[12] == '\0') return true;
  return name[0] == '.' && std::strlen(name) > 14 && has_record_form(name + 1) && name[13] == '.';
}

struct Walk {
  std::vector<Document>* documents;
  FileIdentity records;  // the records folder, passed over when walked
  bool records_known;
};

bool same_folder(const FileIdentity& a, const FileIdentity& b) {
  return a.volume == b.volume && a.index == b.index;
}

using Entries = std::vector<std::pair<std::string, OsEntry>>;

bool collect_entry(void* context, const char* name, const OsEntry& entry) {
  static_cast<Entries*>(context)->emplace_back(name, entry);
  return os_termination_requested() == 0;
}

// Depth first, each folder's entries in byte order of their names.
void walk_folder(Walk& walk, const std::string& folder) {
  Entries entries;
  OsCause cause = OsCause::OTHER;
  if (!os_list_folder(folder.c_str(), collect_entry, &entries, &cause)) {
    walk.documents->push_back({folder, 0, cause_text(cause)});
    return;
  }
  std::sort(entries.begin(), entries.end(),
            [](const auto& a, const auto& b) { return a.first < b.first; });
  FileIdentity here{};
  const bool in_records = walk.records_known && os_name_identity(folder.c_str(), &here) &&
                          same_folder(here, walk.records);
  for (const auto& [name, entry] : entries) {
    if (os_termination_requested() != 0) return;
    switch (entry.kind) {
      case OsEntryKind::FOLDER:
        walk_folder(walk, path_in_folder(folder.c_str(), name.c_str()));
        break;
      case OsEntryKind::PLAIN_FILE:
      case OsEntryKind::UNKNOWN:  // the digest will say why it cannot be read
        if (!(in_records && is_record_file(name.c_str()))) {
          walk.documents->push_back(
              {path_in_folder(folder.c_str(), name.c_str()), entry.size, nullptr});
        }
        break;
      case OsEntryKind::LINK:
      case OsEntryKind::SPECIAL:
        break;  // not followed, not documents
    }
  }
}

std::vector<Document> find_documents(const BatchCommand& command) {
  std::vector<Document> documents;
  Walk walk{&documents, {}, false};
  walk.records_known =
      os_name_identity(command.records != nullptr ? command.records : ".", &walk.records);
  for (const char* operand : command.operands) {
    if (os_termination_requested() != 0) break;
    if (std::strcmp(operand, "-") == 0) {
      // A record stands only for content read identically twice.
      documents.push_back(
          {operand, 0, "standard input cannot be read twice (a file named - is ./-)"});
      continue;
    }
    // Names given are followed as zmrgen follows them; what cannot be
    // found is left for the digest to name.
    OsEntry entry{OsEntryKind::UNKNOWN, 0};
    OsCause cause = OsCause::OTHER;
    const bool found = os_path_entry(operand, &entry, &cause);
    if (found && entry.kind == OsEntryKind::FOLDER && command.recursive) {
      walk_folder(walk, operand);
    } else {
      documents.push_back({operand, found ? entry.size : 0, nullptr});
    }
  }
  return documents;
}

// ---- Digesting on several threads ----

struct Digested {
  bool done = false;
  bool ok = false;
  BothDigests digests{};
  std::string trouble;
};

// The work the threads share, under `lock`: each takes the next document
// that is not too far ahead of the writer, digests it and leaves the result
// in its slot.
struct Digesting {
  const std::vector<Document>* documents;
  DigestSchedule schedule;
  std::mutex lock;
  std::condition_variable work_wanted;
  std::condition_variable result_ready;
  std::size_t next = 0;      // the next document to begin
  std::size_t consumed = 0;  // results the writer has taken
  bool stop = false;         // no new document begins
  std::vector<Digested> slots;
};

void digest_documents(void* arg) {
  Digesting& d = *static_cast<Digesting*>(arg);
  const std::size_t count = d.documents->size();
  std::unique_lock<std::mutex> hold(d.lock);
  for (;;) {
    d.work_wanted.wait(hold, [&d, count] {
      return d.stop || d.next >= count || d.next < d.consumed + d.slots.size();
    });
    if (d.stop || d.next >= count) return;
    const std::size_t index = d.next++;
    hold.unlock();
    const Document& document = (*d.documents)[index];
    Digested result;
    if (document.trouble != nullptr) {
      result.trouble = document.trouble;
    } else {
      result.ok =
          digest_document(document.path.c_str(), &result.digests, &result.trouble, d.schedule);
    }
    result.done = true;
    hold.lock();
    d.slots[index % d.slots.size()] = std::move(result);
    d.result_ready.notify_all();
  }
}

// ---- Progress ----

// One status line on standard error, redrawn a few times a second once the
// run has lasted a second, and erased before anything else is printed.
struct Progress {
  bool enabled;
  std::int64_t start_ms;
  std::int64_t drawn_ms;
  std::size_t drawn_chars;
  std::size_t files_total;
  std::uint64_t bytes_total;
  std::size_t files_done;
  std::uint64_t bytes_done;
};

void erase_progress(Progress& p) {
  if (p.drawn_chars == 0) return;
  std::fprintf(stderr, "\r%*s\r", static_cast<int>(p.drawn_chars), "");
  std::fflush(stderr);
  p.drawn_chars = 0;
}

void draw_progress(Progress& p) {
  if (!p.enabled) return;
  const std::int64_t now = os_monotonic_ms();
  if (now - p.start_ms < 1000 || now - p.drawn_ms < 250) return;
  const double seconds = static_cast<double>(now - p.start_ms) / 1000.0;
  const double mb = 1e6;
  char line[160];
  const int n = std::snprintf(
      line, sizeof line, "%s: %zu of %zu files, %.1f of %.1f MB, %.1f MB/s", PROGRAM, p.files_done,
      p.files_total, static_cast<double>(p.bytes_done) / mb,
      static_cast<double>(p.bytes_total) / mb, static_cast<double>(p.bytes_done) / mb / seconds);
  const auto chars = static_cast<std::size_t>(n > 0 ? n : 0);
  std::fprintf(stderr, "\r%s%*s", line,
               static_cast<int>(p.drawn_chars > chars ? p.drawn_chars - chars : 0), "");
  std::fflush(stderr);
  p.drawn_chars = std::max(chars, p.drawn_chars);
  p.drawn_ms = now;
}

// ---- Recording, in order ----

enum class Outcome { RECORDED, ALREADY, NOT_RECORDED, TROUBLE };

// A file's outcome, decided and waiting to be said; one that waits for its
// record to be placed names it in `pending`.
struct Decided {
  const char* file;
  Outcome outcome;
  RecordName name;
  std::uint32_t created;
  std::string cause;  // TROUBLE: why; NOT_RECORDED: what holds the name
  bool has_digests;
  BothDigests digests;
  std::size_t pending;  // index in Writer::pending, or NO_PENDING
};
constexpr std::size_t NO_PENDING = static_cast<std::size_t>(-1);

struct Writer {
  const BatchCommand* command;
  Progress* progress;
  std::vector<Decided> queue;
  std::vector<PendingRecord> pending;
  // The records this run wrote: a later copy of the same content finds its
  // record already there, --renew or not.
  std::unordered_set<std::uint32_t> written;
  std::size_t counts[4] = {};
};

void say(Writer& w, const Decided& d) {
  ++w.counts[static_cast<int>(d.outcome)];
  const BatchCommand& command = *w.command;
  erase_progress(*w.progress);
  char created[UTC_TEXT_CHARS];
  format_utc(created, d.created);
  const bool has_time = d.outcome == Outcome::RECORDED || d.outcome == Outcome::ALREADY;
  if (d.outcome == Outcome::TROUBLE) say_trouble(PROGRAM, d.file, d.cause.c_str());
  if (command.quiet && has_time) return;
  static constexpr const char* WORDS[] = {"recorded", "already recorded", "not recorded",
                                          "trouble"};
  const char* words = WORDS[static_cast<int>(d.outcome)];
  if (command.json) {
    put_json_line(stdout, {d.file, words,
                           d.outcome == Outcome::TROUBLE && !d.has_digests ? nullptr : d.name.text,
                           has_time ? created : nullptr, d.has_digests ? &d.digests : nullptr,
                           d.outcome == Outcome::TROUBLE ? d.cause.c_str() : nullptr});
  } else if (has_time) {
    begin_result(d.file);
    std::printf("%s (%s, created %s)\n", words, d.name.text, created);
  } else if (d.outcome == Outcome::NOT_RECORDED) {
    begin_result(d.file);
    std::printf("%s (%s %s)\n", words, d.name.text, d.cause.c_str());
  }
}

void write_error(Decided& d, RecordWrite result, const std::string& path) {
  d.outcome = Outcome::TROUBLE;
  if (result == RecordWrite::OTHER_CONTENT) {
    d.outcome = Outcome::NOT_RECORDED;
    d.cause = "holds the record of other content";
  } else if (result == RecordWrite::UNREADABLE_AT_NAME) {
    d.cause = "cannot write the record " + path + ": a file that cannot be read stands there";
  } else if (result == RecordWrite::CREATE_ERROR) {
    d.cause = "cannot create the record " + path;
  } else {
    d.cause = "cannot write the record " + path +
              " (the disk full, a size limit, or the move "
              "refused)";
  }
}

// Flushes the records waiting in their temporary files, gives each its name
// in order, and says every outcome decided so far, in order.
void commit(Writer& w) {
  record_flush(w.pending.data(), w.pending.size());
  for (Decided& d : w.queue) {
    if (d.pending != NO_PENDING) {
      const PendingRecord& record = w.pending[d.pending];
      const RecordWrite placed = record_place(record);
      if (placed == RecordWrite::WRITTEN) {
        d.created = record.created;
        w.written.insert(d.digests.sha1[0]);
      } else {
        write_error(d, placed, record.name);
      }
    }
    say(w, d);
  }
  w.queue.clear();
  w.pending.clear();
}

bool name_pending(const Writer& w, std::uint32_t word) {
  return std::any_of(w.pending.begin(), w.pending.end(),
                     [word](const PendingRecord& p) { return p.sha1[0] == word; });
}

// Decides what becomes of one digested document; its record, if it gets
// one, waits in its temporary file for the group's flush.
void record_document(Writer& w, const Document& document, Digested& result) {
  Decided d{document.path.c_str(),
            Outcome::TROUBLE,
            {},
            RECORD_TIME_UNKNOWN,
            std::move(result.trouble),
            result.ok,
            result.digests,
            NO_PENDING};
  if (result.ok) {
    const std::uint32_t word = result.digests.sha1[0];
    d.name = record_name_for(result.digests.sha1);
    // Two files of one run at one name: the first is placed before the
    // second looks.
    if (name_pending(w, word)) commit(w);
    const std::string path = path_in_folder(w.command->records, d.name.text);
    RecordFields fields{};
    std::string why;
    switch (look_at_record(path.c_str(), result.digests, &fields, &why)) {
      case RecordAtName::SAME:
        if (!w.command->renew || w.written.count(word) != 0) {
          d.outcome = Outcome::ALREADY;
          d.created = fields.created;
          break;
        }
        [[fallthrough]];
      case RecordAtName::ABSENT: {
        // Written in place at the end of the group (a record is a few KiB).
        PendingRecord& record = w.pending.emplace_back();
        const RecordWrite begun = record_write_temp(
            path.c_str(), result.digests.sha512, result.digests.sha1, RECORD_FORMAT_CODE, &record);
        if (begun == RecordWrite::WRITTEN) {
          d.outcome = Outcome::RECORDED;
          d.pending = w.pending.size() - 1;
        } else {
          w.pending.pop_back();
          write_error(d, begun, path);
        }
        break;
      }
      case RecordAtName::OTHER:
        d.outcome = Outcome::NOT_RECORDED;
        d.cause = "holds the record of other content";
        break;
      case RecordAtName::NOT_RECORD:
        d.outcome = Outcome::NOT_RECORDED;
        d.cause = "holds a file that is not a record";
        break;
      case RecordAtName::UNREADABLE:
        d.cause = "cannot write the record " + path + ": " + why;
        break;
    }
  }
  w.progress->files_done += 1;
  w.progress->bytes_done += document.size;
  w.queue.push_back(std::move(d));
  if (w.pending.empty() || w.pending.size() >= FLUSH_GROUP) commit(w);
}

// Takes the result of document `index` once it is ready, saying progress
// and committing waiting records while it waits; false when the run was
// interrupted before that document began.
bool take_result(Digesting& d, Writer& w, std::size_t index, Digested* out) {
  std::unique_lock<std::mutex> hold(d.lock);
  Digested& slot = d.slots[index % d.slots.size()];
  auto wait = std::chrono::milliseconds(20);
  while (!slot.done) {
    if (os_termination_requested() != 0 && !d.stop) {
      d.stop = true;
      d.work_wanted.notify_all();
    }
    if (d.stop && index >= d.next) return false;
    if (d.result_ready.wait_for(hold, wait, [&slot] { return slot.done; })) break;
    wait = std::chrono::milliseconds(200);
    hold.unlock();
    // Records do not wait in their temporary files while a slow file is read.
    if (!w.pending.empty()) commit(w);
    draw_progress(*w.progress);
    hold.lock();
  }
  *out = std::move(slot);
  slot = Digested{};
  d.consumed = index + 1;
  d.work_wanted.notify_all();
  return true;
}

// ---- The command line ----

enum BatchOption { RECORDS, RECURSIVE, RENEW, JOBS, QUIET, JSON, HELP, VERSION };

int usage_trouble(const std::string& text) {
  std::fprintf(stderr, "%s: %s\nTry '%s --help'.\n", PROGRAM, text.c_str(), PROGRAM);
  return 2;
}

// The command, or an exit status when there is nothing to record.
int read_command(int argc, const char* const* argv, BatchCommand* c) {
  const std::vector<OptionRow> rows = {
      {'d', "records", OptionArgument::REQUIRED, RECORDS, nullptr, &c->records},
      {'r', "recursive", OptionArgument::NONE, RECURSIVE, &c->recursive},
      {'\0', "renew", OptionArgument::NONE, RENEW, &c->renew},
      {'j', "jobs", OptionArgument::REQUIRED, JOBS},
      {'q', "quiet", OptionArgument::NONE, QUIET, &c->quiet},
      {'\0', "json", OptionArgument::NONE, JSON, &c->json},
      {'h', "help", OptionArgument::NONE, HELP},
      {'\0', "version", OptionArgument::NONE, VERSION},
  };
  CommandLine line;
  if (!parse_command_line(PROGRAM, argc, argv, rows, &line)) return 2;
  c->operands = line.operands;
  for (const GivenOption& option : line.options) {
    if (option.id == HELP) {
      print_usage();
      return 0;
    }
    if (option.id == VERSION) {
      std::puts("zmrbatch " ZMRGEN_VERSION);
      return 0;
    }
    if (option.id == JOBS) {
      char* end = nullptr;
      const unsigned long n = std::strtoul(option.value, &end, 10);
      if (end == option.value || *end != '\0' || n < 1 || n > MAX_JOBS || option.value[0] == '-') {
        return usage_trouble("invalid number of jobs: '" + std::string(option.value) + "' (1 to " +
                             std::to_string(MAX_JOBS) + ")");
      }
      c->jobs = static_cast<unsigned>(n);
    }
  }
  if (c->operands.empty()) return usage_trouble("missing operand");
  return -1;
}

int exit_status(const Writer& w) {
  if (w.counts[static_cast<int>(Outcome::TROUBLE)] > 0) return 2;
  return w.counts[static_cast<int>(Outcome::NOT_RECORDED)] > 0 ? 1 : 0;
}

int run(int argc, const char* const* argv) {
  BatchCommand command;
  if (const int status = read_command(argc, argv, &command); status >= 0) return status;
  if (command.records != nullptr) {
    if (const char* why = folder_trouble(command.records); why != nullptr) {
      say_trouble(PROGRAM, command.records, why);
      return 2;
    }
  }
  // From here on a signal that would end the process only stops new files
  // from beginning; the process ends by it once all begun is done.
  os_catch_termination();
  const std::vector<Document> documents = find_documents(command);

  const unsigned jobs =
      std::min<unsigned>(command.jobs != 0 ? command.jobs : os_cpu_count(),
                         static_cast<unsigned>(std::max<std::size_t>(documents.size(), 1)));
  Digesting digesting;
  digesting.documents = &documents;
  // One file a thread when several run; one file alone may use both passes'
  // threads.
  digesting.schedule = jobs > 1 ? DigestSchedule::one_pass : DigestSchedule::automatic;
  digesting.slots.resize(static_cast<std::size_t>(jobs) * AHEAD_PER_JOB);

  Progress progress{
      os_error_is_terminal() && !command.quiet, os_monotonic_ms(), 0, 0, documents.size(), 0, 0, 0};
  for (const Document& document : documents) progress.bytes_total += document.size;
  Writer writer{&command, &progress, {}, {}, {}, {}};
  writer.pending.reserve(FLUSH_GROUP);

  std::vector<OsThread> threads;
  for (unsigned i = 0; i < jobs; ++i) {
    OsThread thread{};
    if (os_thread_start(&thread, digest_documents, &digesting)) threads.push_back(thread);
  }
  if (threads.empty()) digesting.stop = true;  // no thread: nothing can begin

  std::size_t handled = 0;
  for (; handled < documents.size(); ++handled) {
    Digested result;
    if (!take_result(digesting, writer, handled, &result)) break;
    record_document(writer, documents[handled], result);
    draw_progress(progress);
  }
  {
    std::lock_guard<std::mutex> hold(digesting.lock);
    digesting.stop = true;
    digesting.work_wanted.notify_all();
  }
  for (const OsThread& thread : threads) os_thread_join(thread);
  commit(writer);
  erase_progress(progress);

  const int request = os_termination_requested();
  if (threads.empty() && !documents.empty()) {
    std::fprintf(stderr, "%s: cannot start a thread\n", PROGRAM);
    return 2;
  }
  if (handled > 1 || request != 0) {
    const SummaryItem items[] = {
        {writer.counts[static_cast<int>(Outcome::RECORDED)], "recorded"},
        {writer.counts[static_cast<int>(Outcome::ALREADY)], "already recorded"},
        {writer.counts[static_cast<int>(Outcome::NOT_RECORDED)], "not recorded"},
        {writer.counts[static_cast<int>(Outcome::TROUBLE)], "with trouble"},
    };
    put_summary(PROGRAM, items, 4, request != 0);
  }
  if (request != 0) os_end_by_termination(request);
  return exit_status(writer);
}

}  // namespace

int run_batch(int argc, const char* const* argv) {
  const int status = run(argc, argv);
  if (std::fflush(stdout) != 0 || std::ferror(stdout) != 0) {
    std::fprintf(stderr, "%s: write error on standard output\n", PROGRAM);
    return 2;
  }
  return status;
}
