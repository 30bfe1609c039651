#include "harness.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <regex>

extern char** environ;

namespace fs = std::filesystem;

namespace {

std::string EnvOr(const char* name, const std::string& fallback) {
  const char* value = std::getenv(name);
  return value && *value ? std::string(value) : fallback;
}

std::string EnvName(const std::string& entry) { return entry.substr(0, entry.find('=')); }

std::vector<std::string> ChildEnvironment(const std::vector<std::string>& extraEnv) {
  std::map<std::string, std::string> byName;
  for (char** entry = environ; *entry; ++entry) byName[EnvName(*entry)] = *entry;
  for (const std::string& entry : extraEnv) byName[EnvName(entry)] = entry;
  std::vector<std::string> env;
  for (const auto& [name, entry] : byName) env.push_back(entry);
  return env;
}

std::vector<char*> CStrings(std::vector<std::string>& texts) {
  std::vector<char*> pointers;
  for (std::string& text : texts) pointers.push_back(text.data());
  pointers.push_back(nullptr);
  return pointers;
}

// argv[0] is looked up in PATH; a group of its own lets a timeout kill what it started.
RunResult RunProcess(const std::string& cwd, std::vector<std::string> argv,
                     std::vector<std::string> env) {
  RunResult result;
  std::string out = ScratchRoot() + "/qve2e-out-XXXXXX";
  std::string err = ScratchRoot() + "/qve2e-err-XXXXXX";
  const int outFd = ::mkostemp(out.data(), O_CLOEXEC), errFd = ::mkostemp(err.data(), O_CLOEXEC);
  posix_spawn_file_actions_t actions;
  posix_spawnattr_t attributes;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, outFd, 1);
  posix_spawn_file_actions_adddup2(&actions, errFd, 2);
  posix_spawn_file_actions_addchdir_np(&actions, cwd.c_str());
  posix_spawnattr_init(&attributes);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP);
  pid_t pid = 0;
  const int failure = outFd < 0 || errFd < 0
                          ? errno
                          : ::posix_spawnp(&pid, argv[0].c_str(), &actions, &attributes,
                                           CStrings(argv).data(), CStrings(env).data());
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attributes);
  result.started = failure == 0;
  int seconds = 900;  // the run's own QV_RUN_TIMEOUT, inherited or given to it
  for (const std::string& entry : env) {
    if (EnvName(entry) == "QV_RUN_TIMEOUT" && entry.size() > 15) seconds = std::atoi(&entry[15]);
  }
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
  int status = 0;
  while (result.started && ::waitpid(pid, &status, WNOHANG) != pid) {
    if (std::chrono::steady_clock::now() > deadline) ::kill(-pid, SIGKILL);
    ::usleep(500);
  }
  if (result.started && WIFEXITED(status)) result.exitCode = WEXITSTATUS(status);
  if (result.started && WIFSIGNALED(status)) result.signal = WTERMSIG(status);
  result.out = ReadFile(out);
  result.err = ReadFile(err);
  if (!result.started) result.err += "cannot start " + argv[0] + ": " + std::strerror(failure);
  for (int fd : {outFd, errFd}) ::close(fd);
  ::unlink(out.c_str());
  ::unlink(err.c_str());
  return result;
}

}  // namespace

std::string ProgramPath() {
  std::error_code error;  // build/tests/qv_e2e_tests -> build/qvculldb
  const fs::path build = fs::read_symlink("/proc/self/exe", error).parent_path().parent_path();
  return EnvOr("QV_PROGRAM", (build / "qvculldb").string());
}

bool UnderWine() { return !EnvOr("QV_RUNNER", "").empty(); }

char Sep() { return UnderWine() ? '\\' : '/'; }

std::string HostPath(const std::string& posixPath) {
  if (!UnderWine()) return posixPath;
  std::string path = "Z:" + posixPath;
  std::replace(path.begin(), path.end(), '/', '\\');
  return path;
}

std::string NormaliseLineEnds(const std::string& text) { return Masked(text, "\r\n", "\n"); }

RunResult RunProgram(const std::string& cwd, const std::vector<std::string>& args,
                     const std::vector<std::string>& extraEnv) {
  const bool wine = UnderWine();
  std::vector<std::string> argv = {ProgramPath()};
  if (wine) argv.insert(argv.begin(), EnvOr("QV_RUNNER", ""));
  argv.insert(argv.end(), args.begin(), args.end());
  const std::string reportPath = cwd + "/" + kReportName;
  const std::string before = ReadFile(reportPath);
  RunResult result = RunProcess(cwd, argv, ChildEnvironment(extraEnv));
  const std::string after = ReadFile(reportPath);
  result.report = after.size() >= before.size() ? after.substr(before.size()) : after;
  if (wine) {
    result.out = NormaliseLineEnds(result.out);
    result.err = NormaliseLineEnds(result.err);
    result.report = NormaliseLineEnds(result.report);
  }
  return result;
}

std::string NormaliseClock(const std::string& transcript) {
  static const std::regex kStamp(R"(QVCULLDB-\d{8}-\d{6})");
  static const std::regex kDateTime(R"(\d{4}-\d\d-\d\d( | at )\d\d:\d\d:\d\d)");
  static const std::regex kScanDate(R"((date: +)\d{4}-\d\d-\d\d)");  // "Pack date:" and the like
  std::string text = std::regex_replace(transcript, kStamp, "QVCULLDB-YYYYMMDD-HHMMSS");
  text = std::regex_replace(text, kDateTime, "YYYY-MM-DD$1HH:MM:SS");
  return std::regex_replace(text, kScanDate, "$1YYYY-MM-DD");
}

void RemoveTree(const std::string& path) {
  std::error_code error;
  if (!path.empty() && fs::is_directory(fs::symlink_status(path, error))) {
    fs::permissions(path, fs::perms::owner_all, fs::perm_options::add, error);
    for (const std::string& name : ListDirectory(path)) RemoveTree(path + "/" + name);
  }
  if (!path.empty()) fs::remove(path, error);
}

namespace {

// No directory from the file system's root down to dir may be writable by others.
bool ClosedToOthers(const fs::path& dir) {
  for (fs::path at = dir; ; at = at.parent_path()) {
    struct stat info;
    if (::stat(at.c_str(), &info) == 0 && (info.st_mode & S_IWOTH) != 0) return false;
    if (at == at.parent_path()) return true;
  }
}

// Under Wine a directory others may write (such as /tmp, sticky or not) lets
// Everyone change what is in it, and the program keeps no backup below one: the
// scratch root there is one no such directory leads to, beside the test program
// or in the home directory.
std::string WineScratchRoot() {
  std::error_code error;
  std::vector<fs::path> candidates;
  if (!EnvOr("QV_WINE_SCRATCH", "").empty()) candidates.push_back(EnvOr("QV_WINE_SCRATCH", ""));
  candidates.push_back(fs::read_symlink("/proc/self/exe", error).parent_path() / "wine-scratch");
  if (!EnvOr("HOME", "").empty()) candidates.push_back(fs::path(EnvOr("HOME", "")) / ".cache/qv-wine-scratch");
  for (const fs::path& candidate : candidates) {
    if (candidate.is_relative() || !ClosedToOthers(candidate.parent_path())) continue;
    fs::create_directories(candidate, error);
    if (fs::is_directory(candidate, error) && ClosedToOthers(candidate)) return candidate.string();
  }
  return "/tmp";  // the backup rows then fail, naming the open directory
}

}  // namespace

std::string ScratchRoot() {
  static const std::string root = [] {
    if (UnderWine()) return WineScratchRoot();
    const std::string chosen = EnvOr("TMPDIR", "");
    if (!chosen.empty()) return chosen;
    constexpr long kTmpfsMagic = 0x01021994;
    struct statfs volume = {};
    const bool tmpfs = ::statfs("/dev/shm", &volume) == 0 && long(volume.f_type) == kTmpfsMagic;
    const bool usable = tmpfs && ::access("/dev/shm", W_OK | X_OK) == 0;
    return std::string(usable ? "/dev/shm" : "/tmp");
  }();
  return root;
}

std::string ShortScratchRoot() { return UnderWine() ? std::string("/tmp") : ScratchRoot(); }

ScratchDir::ScratchDir() : ScratchDir(ScratchRoot()) {}

ScratchDir::ScratchDir(const std::string& root) {
  std::string pattern = root + "/qve2e-XXXXXX";
  path = ::mkdtemp(pattern.data()) ? pattern : "";
}

ScratchDir::~ScratchDir() {
  if (!std::getenv("QV_KEEP_SCRATCH")) RemoveTree(path);
  if (std::getenv("QV_KEEP_SCRATCH")) std::fprintf(stderr, "kept scratch %s\n", path.c_str());
}

std::map<std::string, std::string> ReadTree(const std::string& root) {
  std::map<std::string, std::string> tree;
  std::error_code error;
  for (auto at = fs::recursive_directory_iterator(root, error); at != fs::end(at);
       at.increment(error)) {
    const std::string rel = at->path().lexically_relative(root).string();
    std::string bytes;
    struct stat info = {};
    if (at->is_symlink(error)) {  // never followed: a link and its target are entries of their own
      tree[rel] = "link to " + fs::read_symlink(at->path(), error).string();
    } else if (at->is_directory(error)) {
      tree[rel + "/"] = "dir";
    } else if (!at->is_regular_file(error)) {
      tree[rel] = "special";  // a FIFO: opening it would wait for a writer
    } else if (::stat(at->path().c_str(), &info) == 0 && info.st_size > off_t{1} << 30) {
      tree[rel] = std::to_string(info.st_size) + "@" + std::to_string(info.st_mtime);
    } else {
      tree[rel] = ReadWholeFile(at->path(), &bytes) ? bytes : "unreadable";
    }
  }
  return tree;
}

std::string DiffTrees(const std::map<std::string, std::string>& before,
                      const std::map<std::string, std::string>& after) {
  std::string diff;
  for (const auto& [name, value] : before) {
    if (!after.count(name)) diff += "removed " + name + "\n";
    if (after.count(name) && after.at(name) != value) diff += "changed " + name + "\n";
  }
  for (const auto& [name, value] : after) {
    if (!before.count(name)) diff += "added " + name + "\n";
  }
  return diff;
}

std::vector<std::string> ListDirectory(const std::string& dir) {
  std::vector<std::string> names;
  std::error_code error;
  for (const auto& entry : fs::directory_iterator(dir, error)) {
    names.push_back(entry.path().filename());
  }
  std::sort(names.begin(), names.end());
  return names;
}

std::string ReadFile(const std::string& path) {
  std::string bytes;
  return ReadWholeFile(path, &bytes) ? bytes : "";
}
