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

std::string EnvOr(const char* name, const std::string& fallback) {
  const char* value = std::getenv(name);
  return value && *value ? std::string(value) : fallback;
}

std::vector<std::string> SplitBlanks(const std::string& text) {
  std::vector<std::string> words;
  for (size_t start = 0, stop; start < text.size(); start = stop + 1) {
    stop = std::min(text.find(' ', start), text.size());
    if (stop > start) words.push_back(text.substr(start, stop - start));
  }
  return words;
}

std::string EnvName(const std::string& entry) { return entry.substr(0, entry.find('=')); }

// The inherited environment with the extra entries added or replacing.
std::vector<std::string> ChildEnvironment(const std::vector<std::string>& extraEnv) {
  std::vector<std::string> env;
  for (char** entry = environ; *entry; ++entry) {
    const std::string text = *entry;
    if (std::none_of(extraEnv.begin(), extraEnv.end(),
                     [&](const std::string& e) { return EnvName(e) == EnvName(text); })) {
      env.push_back(text);
    }
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
    if (got > 0) into->append(block, size_t(got));
    if (got > 0) continue;
    return got < 0 && (errno == EAGAIN || errno == EINTR);
  }
}

// Collects both pipes until the child has exited. A grandchild that keeps the
// pipes open (Wine's server) does not hold the run up: once the child is gone,
// whatever it wrote is already in the pipes and is drained.
void CollectOutput(pid_t pid, int outFd, int errFd, RunResult* result) {
  const auto deadline = std::chrono::steady_clock::now() +
                        std::chrono::seconds(std::atoi(EnvOr("QV_RUN_TIMEOUT", "900").c_str()));
  bool outOpen = true, errOpen = true;
  for (int status = 0;;) {
    pollfd fds[2] = {{outOpen ? outFd : -1, POLLIN, 0}, {errOpen ? errFd : -1, POLLIN, 0}};
    ::poll(fds, 2, outOpen || errOpen ? 100 : 10);
    if (outOpen) outOpen = ReadAvailable(outFd, &result->out);
    if (errOpen) errOpen = ReadAvailable(errFd, &result->err);
    if (::waitpid(pid, &status, WNOHANG) == pid) {
      ReadAvailable(outFd, &result->out);
      ReadAvailable(errFd, &result->err);
      if (WIFEXITED(status)) result->exitCode = WEXITSTATUS(status);
      if (WIFSIGNALED(status)) result->signal = WTERMSIG(status);
      return;
    }
    if (!result->timedOut && std::chrono::steady_clock::now() > deadline) {
      result->timedOut = true;
      ::kill(-pid, SIGKILL);
      ::kill(pid, SIGKILL);
    }
  }
}

RunResult RunProcess(const std::string& cwd, std::vector<std::string> argv,
                     const std::vector<std::string>& env) {
  RunResult result;
  int outPipe[2], errPipe[2], failPipe[2];
  if (::pipe(outPipe) != 0 || ::pipe(errPipe) != 0 || ::pipe2(failPipe, O_CLOEXEC) != 0) {
    result.err = std::string("cannot make pipes: ") + std::strerror(errno);
    return result;
  }
  std::fflush(nullptr);
  const pid_t pid = ::fork();
  if (pid == 0) {
    for (int fd : {outPipe[0], errPipe[0], failPipe[0]}) ::close(fd);
    ExecChild(cwd, argv, env, outPipe[1], errPipe[1], failPipe[1]);
  }
  for (int fd : {outPipe[1], errPipe[1], failPipe[1]}) ::close(fd);
  if (pid > 0) {
    ::setpgid(pid, pid);
    int failure = 0;
    const bool execFailed = ::read(failPipe[0], &failure, sizeof failure) == sizeof failure;
    ::fcntl(outPipe[0], F_SETFL, O_NONBLOCK);
    ::fcntl(errPipe[0], F_SETFL, O_NONBLOCK);
    CollectOutput(pid, outPipe[0], errPipe[0], &result);
    result.started = !execFailed;
    if (execFailed) result.err += "cannot start " + argv[0] + ": " + std::strerror(failure);
  }
  for (int fd : {outPipe[0], errPipe[0], failPipe[0]}) ::close(fd);
  return result;
}

// Starts Wine once, so that making its prefix does not fall into a run.
void EnsureWineReady() {
  static bool ready = false;
  if (ready) return;
  std::vector<std::string> argv = SplitBlanks(EnvOr("QV_RUNNER", ""));
  argv.insert(argv.end(), {"wineboot.exe", "--init"});
  RunProcess("/tmp", argv, ChildEnvironment({"WINEDEBUG=-all"}));
  ready = true;
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

// The clock readings, and their placeholders; a "date:" label with blanks before a
// date is the scan's "Pack date:" line, whose date alone is replaced.
const char* const kClockPatterns[][2] = {
    {"QVCULLDB-########-######", "QVCULLDB-YYYYMMDD-HHMMSS"},
    {"####-##-## ##:##:##", "YYYY-MM-DD HH:MM:SS"},
    {"####-##-## at ##:##:##", "YYYY-MM-DD at HH:MM:SS"},
};

size_t DateLabelEnd(const std::string& text, size_t at) {
  if (text.compare(at, 5, "date:") != 0) return 0;
  size_t end = at + 5;
  while (end < text.size() && text[end] == ' ') ++end;
  return MatchesAt(text, end, "####-##-##") ? end : 0;
}

void WalkTree(const std::string& root, const std::string& relative,
              std::map<std::string, std::string>* tree) {
  for (const std::string& name : ListDirectory(root + "/" + relative)) {
    const std::string rel = relative.empty() ? name : relative + "/" + name;
    if (IsDirectory(root + "/" + rel)) {
      (*tree)[rel + "/"] = "dir";
      WalkTree(root, rel, tree);
    } else {
      std::string bytes;
      (*tree)[rel] = ReadWholeFile(root + "/" + rel, &bytes) ? HashEntry(bytes) : "unreadable";
    }
  }
}

}  // namespace

std::string ProgramPath() {
  char self[4096];
  const ssize_t length = ::readlink("/proc/self/exe", self, sizeof self - 1);
  std::string build = length > 0 ? std::string(self, size_t(length)) : "./tests/x";
  build = build.substr(0, build.rfind('/'));  // tests/
  return EnvOr("QV_PROGRAM", build.substr(0, build.rfind('/')) + "/qvculldb");
}

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
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '\r' || i + 1 >= text.size() || text[i + 1] != '\n') result += text[i];
  }
  return result;
}

RunResult RunCommand(const std::string& cwd, const std::vector<std::string>& argv) {
  return RunProcess(cwd, argv, ChildEnvironment({}));
}

RunResult RunProgram(const std::string& cwd, const std::vector<std::string>& args,
                     const std::vector<std::string>& extraEnv) {
  const bool wine = UnderWine();
  std::vector<std::string> argv = SplitBlanks(EnvOr("QV_RUNNER", ""));
  argv.push_back(ProgramPath());
  argv.insert(argv.end(), args.begin(), args.end());
  std::vector<std::string> env = extraEnv;
  if (wine) EnsureWineReady();
  if (wine && std::none_of(env.begin(), env.end(),
                           [](const std::string& e) { return EnvName(e) == "WINEDEBUG"; })) {
    env.push_back("WINEDEBUG=-all");
  }
  const std::string reportPath = cwd + "/" + kReportName;
  std::string before, after;
  ReadWholeFile(reportPath, &before);
  RunResult result = RunProcess(cwd, argv, ChildEnvironment(env));
  ReadWholeFile(reportPath, &after);
  result.report = after.size() >= before.size() ? after.substr(before.size()) : after;
  if (wine) {
    result.out = NormaliseLineEnds(result.out);
    result.err = NormaliseLineEnds(result.err);
    result.report = NormaliseLineEnds(result.report);
  }
  return result;
}

std::string NormaliseClock(const std::string& transcript) {
  std::string result;
  for (size_t at = 0; at < transcript.size();) {
    const auto clock = std::find_if(std::begin(kClockPatterns), std::end(kClockPatterns),
                                    [&](const auto& p) { return MatchesAt(transcript, at, p[0]); });
    if (clock != std::end(kClockPatterns)) {
      result += (*clock)[1];
      at += std::strlen((*clock)[0]);
    } else if (const size_t dateAt = DateLabelEnd(transcript, at)) {
      result += transcript.substr(at, dateAt - at) + "YYYY-MM-DD";
      at = dateAt + 10;
    } else {
      result += transcript[at++];
    }
  }
  return result;
}

void RemoveTree(const std::string& path) {
  struct stat info;
  if (path.empty() || ::lstat(path.c_str(), &info) != 0) return;
  if (S_ISDIR(info.st_mode)) {
    ::chmod(path.c_str(), 0700);
    for (const std::string& name : ListDirectory(path)) RemoveTree(path + "/" + name);
  }
  (void)(S_ISDIR(info.st_mode) ? ::rmdir(path.c_str()) : ::unlink(path.c_str()));
}

ScratchDir::ScratchDir() {
  char pattern[] = "/tmp/qve2e-XXXXXX";
  path = ::mkdtemp(pattern) ? pattern : "";
}

ScratchDir::~ScratchDir() {
  if (std::getenv("QV_KEEP_SCRATCH")) {
    std::fprintf(stderr, "kept scratch directory %s\n", path.c_str());
  } else {
    RemoveTree(path);
  }
}

uint64_t Fnv1a64(const std::string& bytes) {
  uint64_t hash = 0xCBF29CE484222325ull;
  for (unsigned char b : bytes) hash = (hash ^ b) * 0x100000001B3ull;
  return hash;
}

std::string HashEntry(const std::string& bytes) {
  char text[64];
  std::snprintf(text, sizeof text, "%zu:%016" PRIX64, bytes.size(), Fnv1a64(bytes));
  return text;
}

std::map<std::string, std::string> HashTree(const std::string& root) {
  std::map<std::string, std::string> tree;
  WalkTree(root, "", &tree);
  return tree;
}

std::string DiffTrees(const std::map<std::string, std::string>& before,
                      const std::map<std::string, std::string>& after) {
  std::string diff;
  for (const auto& [name, value] : before) {
    const auto found = after.find(name);
    if (found == after.end()) diff += "removed " + name + "\n";
    if (found != after.end() && found->second != value) diff += "changed " + name + "\n";
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
