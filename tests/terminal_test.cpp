// The final key wait, driven through a pseudo-terminal.
//
// Each test starts a small stand-in for an interactive shell in a new session
// whose controlling terminal is the pseudo-terminal. Like a job-control shell
// it runs the built tool as a job in its own process group (in the
// foreground unless asked otherwise), waits for it, handles a stopped job,
// and when the tool has ended reports the terminal's mode before and after
// and whatever input is left over for the shell. The test side writes keys
// into the master, watches the terminal's mode and output, and bounds every
// wait with a deadline; a run that outlives its test is killed and reaped.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <functional>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

#include "test_util.h"

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// Generous bounds for things that must happen; they only matter on failure.
constexpr milliseconds EVENTUALLY{10000};
// How long the tool must keep waiting to count as waiting.
constexpr milliseconds STILL_WAITING{300};
// A key typed byte by byte (as a slow link may deliver it): the gap between
// bytes, and the widest gap for which the key still counts as one key
// (well within the tool's allowance of a tenth of a second).
constexpr milliseconds SLOW_KEY_GAP{5};
constexpr milliseconds SLOW_KEY_LATE{60};
// How long the shell stand-in listens for input left over after the tool.
constexpr int LEFTOVER_MS = 200;

const std::string PROMPT = "Done.  Press any key to quit.\n";
const std::string PROMPT_ON_TTY = "Done.  Press any key to quit.\r\n";

// ---- Messages from the shell stand-in ----

enum MessageKind : int {
  MSG_READY = 1,  // the shell has its terminal
  MSG_STARTED,
  MSG_STOPPED,
  MSG_RESUMED,
  MSG_EXITED,
  MSG_FAILED
};

struct Message {
  int kind = 0;
  int value = 0;         // STARTED: tool pid; EXITED: wait status; FAILED: errno
  int mode_valid = 0;    // `mode` was read
  termios mode{};        // STARTED: before; STOPPED: at the stop; EXITED: after
  int leftover_len = 0;  // EXITED: bytes left for the shell
  char leftover[256] = {};
};
static_assert(sizeof(Message) < PIPE_BUF, "messages are written atomically");

enum StdinFrom { STDIN_TTY, STDIN_FILE };
enum StdoutTo { STDOUT_TTY, STDOUT_PIPE, STDOUT_FILE };
// What the shell does when the tool stops: treat it as a failure (kill it),
// or take the terminal back and continue the job in the foreground or in the
// background, as `fg` and `bg` do.
enum OnStop { STOP_IS_FAILURE, RESUME_FOREGROUND, RESUME_BACKGROUND };

struct ShellOptions {
  std::vector<std::string> args;
  std::string cwd;
  StdinFrom stdin_from = STDIN_TTY;
  std::string stdin_path;
  StdoutTo stdout_to = STDOUT_TTY;
  std::string stdout_path;
  bool controlling = true;  // false: the pty is the tool's stdio only
  bool foreground = true;   // false: started as a background job
  bool ignore_sighup = false;
  OnStop on_stop = STOP_IS_FAILURE;
  std::string type_ahead;  // typed before the tool starts
};

// The mode a shell puts on the terminal while it reads a command line
// (readline's: no line editing, no echo). Distinct from the tool's saved mode
// and from its raw mode.
termios shell_mode(const termios& before) {
  termios m = before;
  m.c_lflag &= static_cast<tcflag_t>(~(ICANON | ECHO));
  m.c_cc[VMIN] = 1;
  m.c_cc[VTIME] = 0;
  return m;
}

bool same_mode(const termios& a, const termios& b) {
  return a.c_iflag == b.c_iflag && a.c_oflag == b.c_oflag && a.c_cflag == b.c_cflag &&
         a.c_lflag == b.c_lflag && std::memcmp(a.c_cc, b.c_cc, sizeof a.c_cc) == 0 &&
         cfgetispeed(&a) == cfgetispeed(&b) && cfgetospeed(&a) == cfgetospeed(&b);
}

std::string describe(const termios& m) {
  char buf[160];
  std::snprintf(buf, sizeof buf, "iflag=%#o oflag=%#o cflag=%#o lflag=%#o min=%d time=%d",
                static_cast<unsigned>(m.c_iflag), static_cast<unsigned>(m.c_oflag),
                static_cast<unsigned>(m.c_cflag), static_cast<unsigned>(m.c_lflag), m.c_cc[VMIN],
                m.c_cc[VTIME]);
  return buf;
}

// The tool's wait mode as seen from outside: no line editing and no signal
// keys (a shell's line-reading mode keeps the signal keys). Echo is checked
// by what reaches the screen.
bool is_raw(const termios& m) { return (m.c_lflag & (ICANON | ISIG)) == 0; }

// Visible form of bytes for failure messages.
std::string printable(const std::string& s) {
  std::string out;
  char buf[8];
  for (const char ch : s) {
    const auto c = static_cast<unsigned char>(ch);
    if (c >= 0x20 && c < 0x7F && c != '\\') {
      out += static_cast<char>(c);
    } else {
      std::snprintf(buf, sizeof buf, "\\x%02X", c);
      out += buf;
    }
  }
  return out;
}

// ---- The shell stand-in (runs in the forked child; system calls only) ----

void send_message(int fd, const Message& m) {
  while (write(fd, &m, sizeof m) < 0 && errno == EINTR) {
  }
}

[[noreturn]] void shell_fail(int report_fd, int err) {
  Message m;
  m.kind = MSG_FAILED;
  m.value = err;
  send_message(report_fd, m);
  _exit(1);
}

// Reads what the terminal holds for the shell once the tool has gone: every
// byte that arrives within LEFTOVER_MS, read without line editing or echo.
int read_leftover(int tty, char* buf, int cap) {
  termios m{};
  if (tcgetattr(tty, &m) != 0) return 0;
  const termios keep = m;
  m.c_lflag &= static_cast<tcflag_t>(~(ICANON | ECHO));
  m.c_cc[VMIN] = 0;
  m.c_cc[VTIME] = 0;
  tcsetattr(tty, TCSANOW, &m);
  int len = 0;
  pollfd pfd{tty, POLLIN, 0};
  while (len < cap && poll(&pfd, 1, LEFTOVER_MS) > 0 && (pfd.revents & POLLIN) != 0) {
    const ssize_t n = read(tty, buf + len, static_cast<std::size_t>(cap - len));
    if (n <= 0) break;
    len += static_cast<int>(n);
  }
  tcsetattr(tty, TCSANOW, &keep);
  return len;
}

[[noreturn]] void run_shell(const ShellOptions& o, const char* slave_name, int report_fd, int go_fd,
                            int out_fd, int err_fd) {
  setsid();
  const int tty = open(slave_name, O_RDWR | O_CLOEXEC | (o.controlling ? 0 : O_NOCTTY));
  if (tty < 0) shell_fail(report_fd, errno);
  // The shell itself survives the hang-up of its terminal and job control
  // from the background; the job gets the default dispositions back.
  signal(SIGHUP, SIG_IGN);
  signal(SIGTTOU, SIG_IGN);
  signal(SIGTTIN, SIG_IGN);
  signal(SIGTSTP, SIG_IGN);

  Message ready;
  ready.kind = MSG_READY;
  send_message(report_fd, ready);
  char go = 0;
  while (read(go_fd, &go, 1) < 0 && errno == EINTR) {
  }

  Message started;
  started.kind = MSG_STARTED;
  started.mode_valid = tcgetattr(tty, &started.mode) == 0;
  const termios before = started.mode;

  // Everything the job needs, prepared before fork: the child only makes
  // system calls.
  std::vector<char*> argv;
  std::string exe = ZMRGEN_EXE;
  std::vector<std::string> args = o.args;
  argv.push_back(exe.data());
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  const int in_file =
      o.stdin_from == STDIN_FILE ? open(o.stdin_path.c_str(), O_RDONLY | O_CLOEXEC) : -1;
  const int out_file =
      o.stdout_to == STDOUT_FILE
          ? open(o.stdout_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644)
          : -1;

  const pid_t tool = fork();
  if (tool < 0) shell_fail(report_fd, errno);
  if (tool == 0) {
    setpgid(0, 0);
    if (o.controlling && o.foreground) tcsetpgrp(tty, getpid());
    // A job starts with default dispositions and nothing blocked, whatever
    // the test runner was started with (a background job of a script
    // inherits SIGINT and SIGQUIT ignored).
    for (const int sig : {SIGINT, SIGQUIT, SIGTERM, SIGTTOU, SIGTTIN, SIGTSTP, SIGCONT}) {
      signal(sig, SIG_DFL);
    }
    signal(SIGHUP, o.ignore_sighup ? SIG_IGN : SIG_DFL);
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    const rlimit no_core{0, 0};
    setrlimit(RLIMIT_CORE, &no_core);
    dup2(o.stdin_from == STDIN_FILE ? in_file : tty, 0);
    dup2(o.stdout_to == STDOUT_TTY ? tty : o.stdout_to == STDOUT_PIPE ? out_fd : out_file, 1);
    dup2(err_fd, 2);
    if (!o.cwd.empty() && chdir(o.cwd.c_str()) != 0) _exit(120);
    execv(exe.c_str(), argv.data());
    _exit(121);
  }
  setpgid(tool, tool);
  if (o.controlling && o.foreground) tcsetpgrp(tty, tool);
  close(out_fd);
  close(err_fd);
  started.value = tool;
  send_message(report_fd, started);

  int status = 0;
  for (;;) {
    if (waitpid(tool, &status, WUNTRACED) < 0) {
      if (errno == EINTR) continue;
      shell_fail(report_fd, errno);
    }
    if (!WIFSTOPPED(status)) break;
    Message stopped;
    stopped.kind = MSG_STOPPED;
    stopped.value = WSTOPSIG(status);
    stopped.mode_valid = tcgetattr(tty, &stopped.mode) == 0;
    send_message(report_fd, stopped);
    if (o.on_stop == STOP_IS_FAILURE) {
      kill(-tool, SIGKILL);
      continue;
    }
    // Take the terminal back as a shell does, with the shell's own mode.
    tcsetpgrp(tty, getpgrp());
    const termios own = shell_mode(before);
    tcsetattr(tty, TCSANOW, &own);
    if (o.on_stop == RESUME_FOREGROUND) {
      tcsetattr(tty, TCSANOW, &before);
      tcsetpgrp(tty, tool);
    }
    kill(-tool, SIGCONT);
    Message resumed;
    resumed.kind = MSG_RESUMED;
    send_message(report_fd, resumed);
  }

  if (o.controlling) tcsetpgrp(tty, getpgrp());
  Message exited;
  exited.kind = MSG_EXITED;
  exited.value = status;
  exited.mode_valid = tcgetattr(tty, &exited.mode) == 0;
  exited.leftover_len =
      read_leftover(tty, exited.leftover, static_cast<int>(sizeof exited.leftover));
  send_message(report_fd, exited);
  _exit(0);
}

// ---- The test side ----

// One run of the tool under the shell stand-in in a fresh pseudo-terminal.
class PtyRun {
 public:
  explicit PtyRun(ShellOptions options) : options_(std::move(options)) {}
  PtyRun(const PtyRun&) = delete;
  PtyRun& operator=(const PtyRun&) = delete;

  ~PtyRun() {
    if (shell_ > 0) {
      if (tool_ > 0) kill(-tool_, SIGKILL);
      kill(shell_, SIGKILL);
      int st = 0;
      while (waitpid(shell_, &st, 0) < 0 && errno == EINTR) {
      }
    }
    for (const int fd : {master_, report_, out_, err_, go_}) {
      if (fd >= 0) close(fd);
    }
  }

  // Starts the shell, types any type-ahead, lets it start the tool and waits
  // for the tool's pid.
  bool start() {
    master_ = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0) return false;
    const char* name = ptsname(master_);
    if (name == nullptr) return false;
    slave_name_ = name;
    fcntl(master_, F_SETFL, fcntl(master_, F_GETFL) | O_NONBLOCK);

    int report[2], go[2], out[2], err[2];
    if (pipe2(report, O_CLOEXEC) != 0 || pipe2(go, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0 ||
        pipe2(err, O_CLOEXEC) != 0) {
      return false;
    }
    shell_ = fork();
    if (shell_ < 0) return false;
    if (shell_ == 0) {
      close(master_);
      close(report[0]);
      close(go[1]);
      close(out[0]);
      close(err[0]);
      run_shell(options_, slave_name_.c_str(), report[1], go[0], out[1], err[1]);
    }
    close(report[1]);
    close(go[0]);
    close(out[1]);
    close(err[1]);
    report_ = report[0];
    go_ = go[1];
    out_ = out[0];
    err_ = err[0];
    for (const int fd : {report_, out_, err_}) fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);

    if (wait_message(MSG_READY, EVENTUALLY) == nullptr) return false;
    if (!options_.type_ahead.empty()) {
      type(options_.type_ahead);
      pump_for(milliseconds(50));
    }
    const char g = 'g';
    if (write(go_, &g, 1) != 1) return false;
    close(go_);
    go_ = -1;
    const Message* m = wait_message(MSG_STARTED, EVENTUALLY);
    if (m == nullptr || !m->mode_valid) return false;
    tool_ = m->value;
    before_ = m->mode;
    return true;
  }

  void type(const std::string& bytes) {
    const std::size_t n = bytes.size();
    if (write(master_, bytes.data(), n) != static_cast<ssize_t>(n)) ADD_FAILURE() << "write to pty";
  }

  // Types each byte on its own, `gap` apart, as a slow link might deliver a
  // key.
  // Returns the widest gap that actually occurred.
  milliseconds type_slowly(const std::string& bytes, milliseconds gap) {
    milliseconds widest{0};
    auto last = Clock::now();
    for (std::size_t i = 0; i < bytes.size(); ++i) {
      if (i > 0) pump_for(gap);
      const auto now = Clock::now();
      if (i > 0) widest = std::max(widest, std::chrono::duration_cast<milliseconds>(now - last));
      last = now;
      type(bytes.substr(i, 1));
    }
    return widest;
  }

  // The terminal's mode as the tool sees it.
  bool mode(termios& m) const {
    const int fd = open(slave_name_.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) return false;
    const bool ok = tcgetattr(fd, &m) == 0;
    close(fd);
    return ok;
  }

  // Waits until the tool has the terminal in raw mode: its wait has begun and
  // every key typed from now on counts.
  bool wait_raw(milliseconds limit = EVENTUALLY) {
    return pump_until(
        [&] {
          termios m{};
          return mode(m) && is_raw(m);
        },
        limit);
  }

  // Reads the terminal, the pipes and the messages until `done` or `limit`.
  bool pump_until(const std::function<bool()>& done, milliseconds limit) {
    const auto deadline = Clock::now() + limit;
    for (;;) {
      if (done()) return true;
      const auto left = std::chrono::duration_cast<milliseconds>(deadline - Clock::now()).count();
      if (left <= 0) return false;
      pump(static_cast<int>(left < 10 ? left : 10));
    }
  }

  void pump_for(milliseconds span) {
    pump_until([] { return false; }, span);
  }

  // The next message of `kind`, waiting up to `limit`; earlier messages of
  // other kinds stay in the queue.
  const Message* wait_message(int kind, milliseconds limit) {
    const Message* found = nullptr;
    pump_until(
        [&] {
          for (const Message& m : messages_) {
            if (m.kind == kind) {
              found = &m;
              return true;
            }
          }
          return false;
        },
        limit);
    return found;
  }

  bool has_message(int kind) const { return count_messages(kind) > 0; }

  int count_messages(int kind) const {
    int n = 0;
    for (const Message& m : messages_) n += m.kind == kind ? 1 : 0;
    return n;
  }

  // Waits until everything the tool printed on the terminal before its wait,
  // ending with the prompt, has been read from the master.
  bool wait_prompt_on_tty() {
    return pump_until(
        [&] {
          return tty_out_.size() >= PROMPT_ON_TTY.size() &&
                 tty_out_.compare(tty_out_.size() - PROMPT_ON_TTY.size(), PROMPT_ON_TTY.size(),
                                  PROMPT_ON_TTY) == 0;
        },
        EVENTUALLY);
  }

  // Closes the master: the terminal hangs up.
  void hang_up() {
    close(master_);
    master_ = -1;
  }

  // The shell has reported the end; reap it.
  void reap() {
    int st = 0;
    while (waitpid(shell_, &st, 0) < 0 && errno == EINTR) {
    }
    shell_ = -1;
  }

  const termios& before() const { return before_; }
  pid_t tool() const { return tool_; }
  const std::string& tty_out() const { return tty_out_; }
  const std::string& out() const { return out_text_; }
  const std::string& err() const { return err_text_; }

 private:
  void pump(int timeout_ms) {
    pollfd fds[4] = {
        {master_, POLLIN, 0}, {report_, POLLIN, 0}, {out_, POLLIN, 0}, {err_, POLLIN, 0}};
    if (poll(fds, 4, timeout_ms) <= 0) return;
    char buf[4096];
    if (master_ >= 0 && (fds[0].revents & (POLLIN | POLLHUP)) != 0) {
      const ssize_t n = read(master_, buf, sizeof buf);
      if (n > 0) tty_out_.append(buf, static_cast<std::size_t>(n));
    }
    if ((fds[1].revents & (POLLIN | POLLHUP)) != 0) {
      Message m;
      if (read(report_, &m, sizeof m) == static_cast<ssize_t>(sizeof m)) messages_.push_back(m);
    }
    for (const auto& [index, text] : {std::pair{2, &out_text_}, std::pair{3, &err_text_}}) {
      if ((fds[index].revents & (POLLIN | POLLHUP)) != 0) {
        const ssize_t n = read(fds[index].fd, buf, sizeof buf);
        if (n > 0) text->append(buf, static_cast<std::size_t>(n));
      }
    }
  }

  ShellOptions options_;
  std::string slave_name_;
  int master_ = -1, report_ = -1, out_ = -1, err_ = -1, go_ = -1;
  pid_t shell_ = -1;
  pid_t tool_ = -1;
  termios before_{};
  std::deque<Message> messages_;
  std::string tty_out_, out_text_, err_text_;
};

// A scratch directory holding the three-byte file "abc": the run's status is
// its byte count, 3.
class TerminalTest : public ::testing::Test {
 protected:
  void SetUp() override { write_file(dir_.file("abc"), std::string("abc")); }

  ShellOptions options(std::vector<std::string> args = {"abc"}) const {
    ShellOptions o;
    o.args = std::move(args);
    o.cwd = dir_.path();
    return o;
  }

  ScratchDir dir_;
};

// The end of a run as the shell reported it, checked for a normal exit with
// `code`, the terminal mode `expected_after`, and nothing left for the shell.
void expect_clean_exit(const Message* exited, int code, const termios& expected_after) {
  ASSERT_NE(exited, nullptr) << "the tool did not end";
  ASSERT_TRUE(WIFEXITED(exited->value)) << "wait status " << exited->value;
  EXPECT_EQ(WEXITSTATUS(exited->value), code);
  ASSERT_TRUE(exited->mode_valid);
  EXPECT_TRUE(same_mode(exited->mode, expected_after))
      << "after: " << describe(exited->mode) << "\nexpected: " << describe(expected_after);
  EXPECT_EQ(
      printable(std::string(exited->leftover, static_cast<std::size_t>(exited->leftover_len))), "")
      << "input left over for the shell";
}

// ---- Keys ----

struct KeyCase {
  const char* name;
  const char* bytes;
  bool slowly;  // each byte on its own, a few milliseconds apart
};

std::vector<KeyCase> key_cases() {
  const std::vector<std::pair<const char*, const char*>> keys = {
      {"Letter", "x"},
      {"Digit", "7"},
      {"Enter", "\r"},
      {"Space", " "},
      {"Tab", "\t"},
      {"Backspace", "\x7f"},
      {"CtrlC", "\x03"},
      {"CtrlD", "\x04"},
      {"CtrlZ", "\x1a"},
      {"CtrlBackslash", "\x1c"},
      {"CtrlS", "\x13"},
      {"CtrlQ", "\x11"},
      {"CtrlV", "\x16"},
      {"CtrlO", "\x0f"},
      {"EscAlone", "\x1b"},
      {"Up", "\x1b[A"},
      {"Left", "\x1b[D"},
      {"UpApplicationMode", "\x1bOA"},
      {"Home", "\x1b[H"},
      {"EndApplicationMode", "\x1bOF"},
      {"HomeVt", "\x1b[1~"},
      {"Insert", "\x1b[2~"},
      {"Delete", "\x1b[3~"},
      {"PageUp", "\x1b[5~"},
      {"PageDown", "\x1b[6~"},
      {"F1", "\x1bOP"},
      {"F4", "\x1bOS"},
      {"F1LinuxConsole", "\x1b[[A"},
      {"F5", "\x1b[15~"},
      {"F12", "\x1b[24~"},
      {"ShiftF5", "\x1b[15;2~"},
      {"CtrlRight", "\x1b[1;5C"},
      {"ShiftF1Ss3Modifier", "\x1bO2P"},
      {"AltX", "\x1bx"},
      {"AltLeftBracket", "\x1b["},
      {"AltO", "\x1bO"},
      {"AltEsc", "\x1b\x1b"},
      {"AltUpRxvt", "\x1b\x1b[A"},
      {"AltEAcute", "\x1b\xc3\xa9"},
      {"EAcute", "\xc3\xa9"},
      {"Euro", "\xe2\x82\xac"},
      {"Emoji", "\xf0\x9f\x98\x80"},
  };
  // Several keys arriving together (a paste, key repeat): the first ends the
  // wait and the rest must not reach the shell either.
  const std::vector<std::pair<const char*, const char*>> bursts = {
      {"Paste", "hello"},
      {"RepeatedLetter", "xxxx"},
      {"RepeatedUp", "\x1b[A\x1b[A\x1b[A"},
      {"PastedLine", "ls -l\r"},
  };
  std::vector<KeyCase> cases;
  for (const auto& [name, bytes] : keys) cases.push_back({name, bytes, false});
  for (const auto& [name, bytes] : bursts) cases.push_back({name, bytes, false});
  for (const auto& [name, bytes] : keys) {
    if (std::strlen(bytes) > 1) cases.push_back({name, bytes, true});
  }
  return cases;
}

void PrintTo(const KeyCase& c, std::ostream* os) {
  *os << c.name << (c.slowly ? " slowly" : "") << " \"" << printable(c.bytes) << '"';
}

class KeyTest : public TerminalTest, public ::testing::WithParamInterface<KeyCase> {};

// Any key ends the wait, is consumed whole (nothing of it is echoed or left
// for the shell, even when its bytes trickle in), signal keys do not signal,
// the status is the run's, and the mode is as before.
TEST_P(KeyTest, EndsTheWaitAndIsConsumedWhole) {
  const KeyCase& key = GetParam();
  for (int attempt = 1;; ++attempt) {
    PtyRun run(options());
    ASSERT_TRUE(run.start());
    ASSERT_TRUE(run.wait_raw()) << "the tool never entered raw mode";
    ASSERT_TRUE(run.wait_prompt_on_tty());
    const std::size_t shown = run.tty_out().size();
    if (key.slowly) {
      // On a loaded machine this side may itself be late between two bytes;
      // such a run shows nothing about the tool, so it is made again, and if
      // the machine never allows it the case is skipped rather than failed.
      const milliseconds widest = run.type_slowly(key.bytes, SLOW_KEY_GAP);
      if (widest > SLOW_KEY_LATE) {
        if (attempt < 5) continue;
        GTEST_SKIP() << "machine too busy: bytes typed up to " << widest.count()
                     << " ms apart in five attempts";
      }
    } else {
      run.type(key.bytes);
    }
    expect_clean_exit(run.wait_message(MSG_EXITED, EVENTUALLY), 3, run.before());
    EXPECT_FALSE(run.has_message(MSG_STOPPED));
    EXPECT_EQ(printable(run.tty_out().substr(shown)), "") << "echoed";
    EXPECT_EQ(run.err(), "");
    return;
  }
}

INSTANTIATE_TEST_SUITE_P(Keys, KeyTest, ::testing::ValuesIn(key_cases()),
                         [](const ::testing::TestParamInfo<KeyCase>& p) {
                           return std::string(p.param.name) + (p.param.slowly ? "_Slowly" : "");
                         });

// Esc alone cannot be told from the start of a longer key except by the
// quiet after it; that quiet must be short.
TEST_F(TerminalTest, EscAloneEndsTheWaitQuickly) {
  PtyRun run(options());
  ASSERT_TRUE(run.start());
  ASSERT_TRUE(run.wait_raw());
  const auto sent = Clock::now();
  run.type("\x1b");
  const Message* exited = run.wait_message(MSG_EXITED, EVENTUALLY);
  const auto took = std::chrono::duration_cast<milliseconds>(Clock::now() - sent);
  expect_clean_exit(exited, 3, run.before());
  // The shell's leftover listening is part of the measured span.
  EXPECT_LT(took.count(), 500 + LEFTOVER_MS);
}

// ---- Every outcome waits, shows the prompt first, and exits with its status ----

struct OutcomeCase {
  const char* name;
  std::vector<std::string> args;
  int code;  // low 8 bits of the run's status
};

void PrintTo(const OutcomeCase& c, std::ostream* os) { *os << c.name; }

class OutcomeTest : public TerminalTest, public ::testing::WithParamInterface<OutcomeCase> {};

TEST_P(OutcomeTest, WaitsForAKeyAfterThePrompt) {
  const OutcomeCase& c = GetParam();
  write_file(dir_.file("empty"), std::string());
  PtyRun run(options(c.args));
  ASSERT_TRUE(run.start());
  ASSERT_TRUE(run.wait_raw());
  EXPECT_TRUE(run.wait_prompt_on_tty()) << printable(run.tty_out());
  run.pump_for(STILL_WAITING);
  EXPECT_FALSE(run.has_message(MSG_EXITED)) << "did not wait for a key";
  run.type("x");
  expect_clean_exit(run.wait_message(MSG_EXITED, EVENTUALLY), c.code, run.before());
}

INSTANTIATE_TEST_SUITE_P(Outcomes, OutcomeTest,
                         ::testing::Values(OutcomeCase{"Digested", {"abc"}, 3},
                                           OutcomeCase{"SecondArgumentIgnored", {"abc", "x"}, 3},
                                           OutcomeCase{"Help", {"-h"}, 0},
                                           OutcomeCase{"NoArgument", {}, 0},
                                           OutcomeCase{"MissingFile", {"missing"}, 0},
                                           OutcomeCase{"EmptyFileFails", {"empty"}, 255}),
                         [](const ::testing::TestParamInfo<OutcomeCase>& p) {
                           return p.param.name;
                         });

// ---- Signals during the wait ----

class SignalTest : public TerminalTest, public ::testing::WithParamInterface<int> {};

// The process ends as the signal demands, with the terminal's mode put back.
TEST_P(SignalTest, EndsTheRunAndRestoresTheMode) {
  const int sig = GetParam();
  PtyRun run(options());
  ASSERT_TRUE(run.start());
  ASSERT_TRUE(run.wait_raw());
  ASSERT_EQ(kill(run.tool(), sig), 0);
  const Message* exited = run.wait_message(MSG_EXITED, EVENTUALLY);
  ASSERT_NE(exited, nullptr);
  ASSERT_TRUE(WIFSIGNALED(exited->value)) << "wait status " << exited->value;
  EXPECT_EQ(WTERMSIG(exited->value), sig);
  ASSERT_TRUE(exited->mode_valid);
  EXPECT_TRUE(same_mode(exited->mode, run.before()))
      << "after: " << describe(exited->mode) << "\nbefore: " << describe(run.before());
}

// Those a user sends by hand, and those sent by timers, limits and other
// programs, which once left the terminal without echo.
INSTANTIATE_TEST_SUITE_P(Signals, SignalTest,
                         ::testing::Values(SIGTERM, SIGHUP, SIGQUIT, SIGINT, SIGUSR1, SIGUSR2,
                                           SIGALRM, SIGVTALRM, SIGPROF, SIGXCPU, SIGRTMIN + 3),
                         [](const ::testing::TestParamInfo<int>& p) {
                           return "Signal" + std::to_string(p.param);
                         });

// Started under nohup: a hang-up signal stays ignored and the wait goes on.
TEST_F(TerminalTest, IgnoredHangUpSignalStaysIgnored) {
  ShellOptions o = options();
  o.ignore_sighup = true;
  PtyRun run(o);
  ASSERT_TRUE(run.start());
  ASSERT_TRUE(run.wait_raw());
  ASSERT_EQ(kill(run.tool(), SIGHUP), 0);
  run.pump_for(STILL_WAITING);
  EXPECT_FALSE(run.has_message(MSG_EXITED));
  termios m{};
  ASSERT_TRUE(run.mode(m));
  EXPECT_TRUE(is_raw(m));
  run.type("x");
  expect_clean_exit(run.wait_message(MSG_EXITED, EVENTUALLY), 3, run.before());
}

// ---- Job control ----

struct JobCase {
  const char* name;
  int stop_signal;
  OnStop resume;
};

void PrintTo(const JobCase& c, std::ostream* os) { *os << c.name; }

class JobControlTest : public TerminalTest, public ::testing::WithParamInterface<JobCase> {};

// Stopped during the wait, then continued. In the foreground the wait goes
// on in raw mode and a key ends it; in the background no key can come, so it
// ends by itself without stopping again and leaves the shell's mode alone.
TEST_P(JobControlTest, StoppedAndContinued) {
  const JobCase& c = GetParam();
  ShellOptions o = options();
  o.on_stop = c.resume;
  PtyRun run(o);
  ASSERT_TRUE(run.start());
  ASSERT_TRUE(run.wait_raw());
  ASSERT_EQ(kill(run.tool(), c.stop_signal), 0);
  const Message* stopped = run.wait_message(MSG_STOPPED, EVENTUALLY);
  ASSERT_NE(stopped, nullptr) << "did not stop";
  if (c.stop_signal == SIGTSTP) {
    // A catchable stop puts the mode back before stopping.
    ASSERT_TRUE(stopped->mode_valid);
    EXPECT_TRUE(same_mode(stopped->mode, run.before())) << describe(stopped->mode);
  }
  ASSERT_NE(run.wait_message(MSG_RESUMED, EVENTUALLY), nullptr);
  if (c.resume == RESUME_FOREGROUND) {
    ASSERT_TRUE(run.wait_raw()) << "raw mode not taken again after fg";
    run.pump_for(STILL_WAITING);
    EXPECT_FALSE(run.has_message(MSG_EXITED)) << "did not wait for a key";
    run.type("x");
    expect_clean_exit(run.wait_message(MSG_EXITED, EVENTUALLY), 3, run.before());
  } else {
    expect_clean_exit(run.wait_message(MSG_EXITED, milliseconds(3000)), 3,
                      shell_mode(run.before()));
  }
  EXPECT_EQ(run.count_messages(MSG_STOPPED), 1);
}

INSTANTIATE_TEST_SUITE_P(Jobs, JobControlTest,
                         ::testing::Values(JobCase{"TstpThenFg", SIGTSTP, RESUME_FOREGROUND},
                                           JobCase{"StopThenFg", SIGSTOP, RESUME_FOREGROUND},
                                           JobCase{"TstpThenBg", SIGTSTP, RESUME_BACKGROUND},
                                           JobCase{"StopThenBg", SIGSTOP, RESUME_BACKGROUND}),
                         [](const ::testing::TestParamInfo<JobCase>& p) { return p.param.name; });

// A background job (`zmrgen abc &`) cannot get a key: it must finish at once
// rather than stop on SIGTTIN/SIGTTOU, and leave the terminal alone.
TEST_F(TerminalTest, BackgroundJobDoesNotWaitOrStop) {
  ShellOptions o = options();
  o.foreground = false;
  PtyRun run(o);
  ASSERT_TRUE(run.start());
  expect_clean_exit(run.wait_message(MSG_EXITED, milliseconds(3000)), 3, run.before());
  EXPECT_FALSE(run.has_message(MSG_STOPPED)) << "stopped by job control";
}

// ---- Where the key comes from ----

struct StdinCase {
  const char* name;
  std::string content;  // of the file on standard input
};

void PrintTo(const StdinCase& c, std::ostream* os) { *os << c.name; }

class RedirectedStdinTest : public TerminalTest, public ::testing::WithParamInterface<StdinCase> {};

// Standard input from a file (text, or empty: end of file at once) does not
// satisfy the wait; the keyboard does.
TEST_P(RedirectedStdinTest, StillWaitsForTheKeyboard) {
  ShellOptions o = options();
  o.stdin_from = STDIN_FILE;
  o.stdin_path = dir_.file("input");
  write_file(o.stdin_path, GetParam().content);
  PtyRun run(o);
  ASSERT_TRUE(run.start());
  ASSERT_TRUE(run.wait_raw());
  run.pump_for(STILL_WAITING);
  EXPECT_FALSE(run.has_message(MSG_EXITED)) << "standard input satisfied the wait";
  run.type("x");
  expect_clean_exit(run.wait_message(MSG_EXITED, EVENTUALLY), 3, run.before());
}

INSTANTIATE_TEST_SUITE_P(Stdin, RedirectedStdinTest,
                         ::testing::Values(StdinCase{"Text", "x\ny\n\x1b[A"},
                                           StdinCase{"Empty", ""}),
                         [](const ::testing::TestParamInfo<StdinCase>& p) { return p.param.name; });

// A terminal on standard input and output that is not the controlling
// terminal is not the console: the wait returns at once.
TEST_F(TerminalTest, TerminalThatIsNotControllingDoesNotWait) {
  ShellOptions o = options();
  o.controlling = false;
  PtyRun run(o);
  ASSERT_TRUE(run.start());
  expect_clean_exit(run.wait_message(MSG_EXITED, milliseconds(3000)), 3, run.before());
}

// Keys typed while the file was being hashed are not an answer to the
// prompt: they are dropped, the wait goes on, and none reach the shell.
TEST_F(TerminalTest, TypeAheadIsDiscarded) {
  for (const std::string ahead : {"qwerty", "ls -l\n", "\x1b[A"}) {
    SCOPED_TRACE(printable(ahead));
    ShellOptions o = options();
    o.type_ahead = ahead;
    PtyRun run(o);
    ASSERT_TRUE(run.start());
    ASSERT_TRUE(run.wait_raw());
    run.pump_for(STILL_WAITING);
    EXPECT_FALSE(run.has_message(MSG_EXITED)) << "type-ahead ended the wait";
    run.type("x");
    expect_clean_exit(run.wait_message(MSG_EXITED, EVENTUALLY), 3, run.before());
  }
}

// ---- Output ----

class RedirectedStdoutTest : public TerminalTest, public ::testing::WithParamInterface<StdoutTo> {};

// With output to a pipe or a file and a terminal attached, the prompt is
// delivered before the wait, and the whole output is the run's.
TEST_P(RedirectedStdoutTest, PromptArrivesBeforeAnyKey) {
  ShellOptions o = options();
  o.stdout_to = GetParam();
  o.stdout_path = dir_.file("out.txt");
  PtyRun run(o);
  ASSERT_TRUE(run.start());
  ASSERT_TRUE(run.wait_raw());
  const auto output = [&] {
    return GetParam() == STDOUT_PIPE ? run.out() : read_file(o.stdout_path);
  };
  const auto ends_with_prompt = [&] {
    const std::string s = output();
    return s.size() >= PROMPT.size() &&
           s.compare(s.size() - PROMPT.size(), PROMPT.size(), PROMPT) == 0;
  };
  EXPECT_TRUE(run.pump_until(ends_with_prompt, EVENTUALLY)) << "prompt not delivered while waiting";
  EXPECT_FALSE(run.has_message(MSG_EXITED));
  run.type("x");
  expect_clean_exit(run.wait_message(MSG_EXITED, EVENTUALLY), 3, run.before());
  EXPECT_EQ(output(), ABC_DIGEST_LINES + DONE);
  EXPECT_EQ(printable(run.tty_out()), "") << "written to the terminal";
  EXPECT_EQ(run.err(), "");
}

INSTANTIATE_TEST_SUITE_P(Stdout, RedirectedStdoutTest, ::testing::Values(STDOUT_PIPE, STDOUT_FILE),
                         [](const ::testing::TestParamInfo<StdoutTo>& p) {
                           return p.param == STDOUT_PIPE ? "Pipe" : "File";
                         });

// ---- The terminal goes away ----

// A hang-up during the wait (the terminal window closed) ends it: reads
// return end of file or EIO, which must neither spin nor hang.
TEST_F(TerminalTest, HangUpEndsTheWait) {
  PtyRun run(options());
  ASSERT_TRUE(run.start());
  ASSERT_TRUE(run.wait_raw());
  run.hang_up();
  const Message* exited = run.wait_message(MSG_EXITED, milliseconds(3000));
  ASSERT_NE(exited, nullptr) << "still waiting after the hang-up";
  if (WIFSIGNALED(exited->value)) {
    EXPECT_EQ(WTERMSIG(exited->value), SIGHUP);
  } else {
    ASSERT_TRUE(WIFEXITED(exited->value));
    EXPECT_EQ(WEXITSTATUS(exited->value), 3);
  }
}

}  // namespace
