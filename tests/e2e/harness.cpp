// End-to-end harness. See harness.h.
#include "harness.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>

extern char** environ;

namespace {

constexpr int kDefaultTimeoutSeconds = 900;

std::string EnvOr(const char* name, const std::string& fallback) {
  const char* value = std::getenv(name);
  return value && *value ? std::string(value) : fallback;
}

std::vector<std::string> SplitBlanks(const std::string& text) {
  std::vector<std::string> words;
  size_t start = 0;
  while (start < text.size()) {
    const size_t end = text.find(' ', start);
    const size_t stop = end == std::string::npos ? text.size() : end;
    if (stop > start) words.push_back(text.substr(start, stop - start));
    start = stop + 1;
  }
  return words;
}

std::string BuildDirectory() {
  char self[4096];
  const ssize_t length = ::readlink("/proc/self/exe", self, sizeof self - 1);
  if (length <= 0) return ".";
  std::string path(self, size_t(length));
  path = path.substr(0, path.rfind('/'));  // tests/
  return path.substr(0, path.rfind('/'));  // the build directory
}

std::string EnvName(const std::string& entry) { return entry.substr(0, entry.find('=')); }

// The inherited environment with the extra entries added or replacing.
std::vector<std::string> ChildEnvironment(const std::vector<std::string>& extraEnv) {
  std::vector<std::string> env;
  for (char** entry = environ; *entry; ++entry) {
    const std::string text = *entry;
    const bool replaced = std::any_of(extraEnv.begin(), extraEnv.end(), [&](const std::string& e) {
      return EnvName(e) == EnvName(text);
    });
    if (!replaced) env.push_back(text);
  }
  env.insert(env.end(), extraEnv.begin(), extraEnv.end());
  return env;
}

std::vector<char*> CStrings(std::vector<std::string>& texts) {
  std::vector<char*> pointers;
  for (std::string& text : texts) pointers.push_back(text.data());
  pointers.push_back(nullptr);
  return pointers;
}

// In the child: stdin from /dev/null, stdout/stderr to the pipes, then exec.
// Reports an exec failure through failPipe and never returns.
[[noreturn]] void ExecChild(const std::string& cwd, std::vector<std::string> argv,
                            std::vector<std::string> env, int outFd, int errFd, int failPipe) {
  ::setpgid(0, 0);
  const int null = ::open("/dev/null", O_RDONLY);
  int failure = 0;
  if (null < 0 || ::dup2(null, 0) < 0 || ::dup2(outFd, 1) < 0 || ::dup2(errFd, 2) < 0 ||
      ::chdir(cwd.c_str()) != 0) {
    failure = errno;
  } else {
    std::vector<char*> args = CStrings(argv);
    std::vector<char*> envp = CStrings(env);
    ::execvpe(args[0], args.data(), envp.data());
    failure = errno;
  }
  if (::write(failPipe, &failure, sizeof failure) < 0) _exit(126);
  _exit(127);
}

// Reads what is available; false once the descriptor reached its end.
bool ReadAvailable(int fd, std::string* into) {
  char block[65536];
  for (;;) {
    const ssize_t got = ::read(fd, block, sizeof block);
    if (got > 0) {
      into->append(block, size_t(got));
      continue;
    }
    if (got < 0 && (errno == EAGAIN || errno == EINTR)) return true;
    return false;
  }
}

void RecordStatus(int status, RunResult* result) {
  if (WIFEXITED(status)) {
    result->exitCode = WEXITSTATUS(status);
  } else if (WIFSIGNALED(status)) {
    result->signal = WTERMSIG(status);
  }
}

// Collects both pipes until the child has exited. A grandchild that keeps the
// pipes open (Wine's server) does not hold the run up: once the child is gone,
// whatever it wrote is already in the pipes and is drained.
void CollectOutput(pid_t pid, int outFd, int errFd, RunResult* result) {
  const int limit = std::atoi(EnvOr("QV_RUN_TIMEOUT", std::to_string(kDefaultTimeoutSeconds)).c_str());
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(limit);
  bool outOpen = true;
  bool errOpen = true;
  int status = 0;
  for (;;) {
    pollfd fds[2] = {{outOpen ? outFd : -1, POLLIN, 0}, {errOpen ? errFd : -1, POLLIN, 0}};
    ::poll(fds, 2, outOpen || errOpen ? 100 : 10);
    if (outOpen) outOpen = ReadAvailable(outFd, &result->out);
    if (errOpen) errOpen = ReadAvailable(errFd, &result->err);
    if (::waitpid(pid, &status, WNOHANG) == pid) {
      if (outOpen) ReadAvailable(outFd, &result->out);
      if (errOpen) ReadAvailable(errFd, &result->err);
      RecordStatus(status, result);
      return;
    }
    if (!result->timedOut && std::chrono::steady_clock::now() > deadline) {
      result->timedOut = true;
      ::kill(-pid, SIGKILL);
      ::kill(pid, SIGKILL);
    }
  }
}

RunResult RunProcess(const std::string& cwd, const std::vector<std::string>& argv,
                     const std::vector<std::string>& env) {
  RunResult result;
  int outPipe[2], errPipe[2], failPipe[2];
  if (::pipe(outPipe) != 0) return result;
  if (::pipe(errPipe) != 0) {
    ::close(outPipe[0]);
    ::close(outPipe[1]);
    return result;
  }
  if (::pipe2(failPipe, O_CLOEXEC) != 0) {
    for (int fd : {outPipe[0], outPipe[1], errPipe[0], errPipe[1]}) ::close(fd);
    return result;
  }
  std::fflush(nullptr);
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::close(outPipe[0]);
    ::close(errPipe[0]);
    ::close(failPipe[0]);
    ExecChild(cwd, argv, env, outPipe[1], errPipe[1], failPipe[1]);
  }
  ::close(outPipe[1]);
  ::close(errPipe[1]);
  ::close(failPipe[1]);
  if (pid > 0) {
    ::setpgid(pid, pid);
    int failure = 0;
    const bool execFailed = ::read(failPipe[0], &failure, sizeof failure) == sizeof failure;
    ::fcntl(outPipe[0], F_SETFL, O_NONBLOCK);
    ::fcntl(errPipe[0], F_SETFL, O_NONBLOCK);
    CollectOutput(pid, outPipe[0], errPipe[0], &result);
    result.started = !execFailed;
    if (execFailed) result.err += std::string("cannot start ") + argv[0] + ": " + std::strerror(failure);
  }
  for (int fd : {outPipe[0], errPipe[0], failPipe[0]}) ::close(fd);
  return result;
}

uint64_t FileSize(const std::string& path) {
  struct stat info;
  return ::stat(path.c_str(), &info) == 0 ? uint64_t(info.st_size) : 0;
}

// Matches pattern at text[at]: '#' stands for any ASCII digit.
bool MatchesAt(const std::string& text, size_t at, const char* pattern) {
  const size_t length = std::strlen(pattern);
  if (at + length > text.size()) return false;
  for (size_t i = 0; i < length; ++i) {
    const char c = text[at + i];
    if (pattern[i] == '#' ? (c < '0' || c > '9') : c != pattern[i]) return false;
  }
  return true;
}

struct ClockPattern {
  const char* pattern;
  const char* placeholder;
};

const ClockPattern kClockPatterns[] = {
    {"QVCULLDB-########-######", "QVCULLDB-YYYYMMDD-HHMMSS"},
    {"####-##-## ##:##:##", "YYYY-MM-DD HH:MM:SS"},
    {"####-##-## at ##:##:##", "YYYY-MM-DD at HH:MM:SS"},
};

// "date:" and blanks before a date: the scan's "Pack date:" line.
size_t DateLabelEnd(const std::string& text, size_t at) {
  if (text.compare(at, 5, "date:") != 0) return 0;
  size_t end = at + 5;
  while (end < text.size() && text[end] == ' ') ++end;
  return MatchesAt(text, end, "####-##-##") ? end : 0;
}

void HashFileInto(const std::string& path, std::string* entry) {
  FILE* file = std::fopen(path.c_str(), "rb");
  if (!file) {
    *entry = "unreadable";
    return;
  }
  uint64_t hash = 0xCBF29CE484222325ull;
  uint64_t size = 0;
  unsigned char block[65536];
  size_t got;
  while ((got = std::fread(block, 1, sizeof block, file)) > 0) {
    for (size_t i = 0; i < got; ++i) hash = (hash ^ block[i]) * 0x100000001B3ull;
    size += got;
  }
  std::fclose(file);
  char text[64];
  std::snprintf(text, sizeof text, "%" PRIu64 ":%016" PRIX64, size, hash);
  *entry = text;
}

// Visits every entry below root; relative names of directories end in '/'.
template <typename Visit>
void WalkTree(const std::string& root, const std::string& relative, Visit visit) {
  for (const std::string& name : ListDirectory(root + "/" + relative)) {
    const std::string rel = relative.empty() ? name : relative + "/" + name;
    const std::string full = root + "/" + rel;
    struct stat info;
    if (::lstat(full.c_str(), &info) != 0) continue;
    if (S_ISDIR(info.st_mode)) {
      visit(rel + "/", full, info);
      WalkTree(root, rel, visit);
    } else {
      visit(rel, full, info);
    }
  }
}

}  // namespace

std::string ProgramPath() { return EnvOr("QV_PROGRAM", BuildDirectory() + "/qvculldb"); }


bool UnderWine() { return !EnvOr("QV_RUNNER", "").empty(); }

char Sep() { return UnderWine() ? '\\' : '/'; }

std::string HostPath(const std::string& posixPath) {
  if (!UnderWine()) return posixPath;
  std::string path = "Z:" + posixPath;
  std::replace(path.begin(), path.end(), '/', '\\');
  return path;
}

std::string NormaliseLineEnds(const std::string& text) {
  std::string result;
  result.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') continue;
    result += text[i];
  }
  return result;
}

RunResult RunCommand(const std::string& cwd, const std::vector<std::string>& argv,
                     const std::vector<std::string>& extraEnv) {
  return RunProcess(cwd, argv, ChildEnvironment(extraEnv));
}

bool EnsureWineReady() {
  static int state = 0;  // 0 unknown, 1 ready, -1 failed
  if (!UnderWine()) return true;
  if (state == 0) {
    std::vector<std::string> argv = SplitBlanks(EnvOr("QV_RUNNER", ""));
    argv.push_back("wineboot.exe");
    argv.push_back("--init");
    const RunResult boot = RunProcess("/tmp", argv, ChildEnvironment({"WINEDEBUG=-all"}));
    state = boot.started && boot.exitCode == 0 ? 1 : -1;
  }
  return state == 1;
}

RunResult RunProgram(const std::string& cwd, const std::vector<std::string>& args,
                     const std::vector<std::string>& extraEnv) {
  const bool wine = UnderWine();
  if (wine) EnsureWineReady();
  std::vector<std::string> argv = SplitBlanks(EnvOr("QV_RUNNER", ""));
  argv.push_back(ProgramPath());
  argv.insert(argv.end(), args.begin(), args.end());
  std::vector<std::string> env = extraEnv;
  const bool debugGiven = std::any_of(extraEnv.begin(), extraEnv.end(), [](const std::string& e) {
    return EnvName(e) == "WINEDEBUG";
  });
  if (wine && !debugGiven) env.push_back("WINEDEBUG=-all");

  const std::string reportPath = cwd + "/" + kReportName;
  const uint64_t sizeBefore = FileSize(reportPath);
  RunResult result = RunProcess(cwd, argv, ChildEnvironment(env));
  std::string report;
  ReadWholeFile(reportPath, &report);
  result.report = report.size() >= sizeBefore ? report.substr(sizeBefore) : report;
  if (wine) {
    result.out = NormaliseLineEnds(result.out);
    result.err = NormaliseLineEnds(result.err);
    result.report = NormaliseLineEnds(result.report);
  }
  return result;
}

std::string NormaliseClock(const std::string& transcript) {
  std::string result;
  result.reserve(transcript.size());
  size_t at = 0;
  while (at < transcript.size()) {
    bool replaced = false;
    for (const ClockPattern& clock : kClockPatterns) {
      if (MatchesAt(transcript, at, clock.pattern)) {
        result += clock.placeholder;
        at += std::strlen(clock.pattern);
        replaced = true;
        break;
      }
    }
    if (replaced) continue;
    const size_t dateAt = DateLabelEnd(transcript, at);
    if (dateAt != 0) {
      result.append(transcript, at, dateAt - at);
      result += "YYYY-MM-DD";
      at = dateAt + 10;
      continue;
    }
    result += transcript[at++];
  }
  return result;
}

std::string MakeScratchDir() {
  char pattern[] = "/tmp/qve2e-XXXXXX";
  const char* made = ::mkdtemp(pattern);
  return made ? std::string(made) : std::string();
}

void RemoveTree(const std::string& path) {
  struct stat info;
  if (path.empty() || ::lstat(path.c_str(), &info) != 0) return;
  if (!S_ISDIR(info.st_mode)) {
    ::unlink(path.c_str());
    return;
  }
  ::chmod(path.c_str(), 0700);
  for (const std::string& name : ListDirectory(path)) RemoveTree(path + "/" + name);
  ::rmdir(path.c_str());
}

ScratchDir::ScratchDir() : path(MakeScratchDir()) {}

ScratchDir::~ScratchDir() {
  if (std::getenv("QV_KEEP_SCRATCH")) {
    std::fprintf(stderr, "kept scratch directory %s\n", path.c_str());
    return;
  }
  RemoveTree(path);
}

uint64_t Fnv1a64(const std::string& bytes) {
  uint64_t hash = 0xCBF29CE484222325ull;
  for (unsigned char b : bytes) hash = (hash ^ b) * 0x100000001B3ull;
  return hash;
}

std::map<std::string, std::string> HashTree(const std::string& root) {
  std::map<std::string, std::string> tree;
  WalkTree(root, "", [&](const std::string& rel, const std::string& full, const struct stat& info) {
    std::string& entry = tree[rel];
    if (S_ISDIR(info.st_mode)) {
      entry = "dir";
    } else if (S_ISLNK(info.st_mode)) {
      char target[4096];
      const ssize_t length = ::readlink(full.c_str(), target, sizeof target);
      entry = "link:" + std::string(target, size_t(std::max<ssize_t>(length, 0)));
    } else {
      HashFileInto(full, &entry);
    }
  });
  return tree;
}

std::map<std::string, std::string> ReadTree(const std::string& root) {
  std::map<std::string, std::string> tree;
  WalkTree(root, "", [&](const std::string& rel, const std::string& full, const struct stat& info) {
    if (S_ISREG(info.st_mode)) ReadWholeFile(full, &tree[rel]);
  });
  return tree;
}

std::string DiffTrees(const std::map<std::string, std::string>& before,
                      const std::map<std::string, std::string>& after) {
  std::string diff;
  for (const auto& [name, value] : before) {
    const auto found = after.find(name);
    if (found == after.end()) {
      diff += "removed " + name + "\n";
    } else if (found->second != value) {
      diff += "changed " + name + "\n";
    }
  }
  for (const auto& entry : after) {
    if (before.find(entry.first) == before.end()) diff += "added " + entry.first + "\n";
  }
  return diff;
}

std::vector<std::string> ListDirectory(const std::string& dir) {
  std::vector<std::string> names;
  DIR* handle = ::opendir(dir.c_str());
  if (!handle) return names;
  while (const dirent* entry = ::readdir(handle)) {
    const std::string name = entry->d_name;
    if (name != "." && name != "..") names.push_back(name);
  }
  ::closedir(handle);
  std::sort(names.begin(), names.end());
  return names;
}

bool FileExists(const std::string& path) {
  struct stat info;
  return ::stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode);
}

bool IsDirectory(const std::string& path) {
  struct stat info;
  return ::stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}
