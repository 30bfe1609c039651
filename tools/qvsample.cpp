// qvsample: writes a deterministic sample Quorvex home directory for trying
// out and testing the user packer. See PrintUsage for the options.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "sample_bbs.h"

namespace {

const char kUsage[] =
    "Usage: qvsample [options] DIRECTORY\n"
    "Writes a complete sample Quorvex home directory into DIRECTORY (created if\n"
    "missing): QVNODE.DAT, WORK/QVUSERS.DAT, WORK/QVUSERS.PTR, WORK/QVWHOSON.DAT,\n"
    "MESSAGE/QVMSG1.LMR..QVMSGn.LMR and, if asked, WORK/QVPURGED.USR. The same\n"
    "options and seed always give the same bytes.\n"
    "\n"
    "Database size:\n"
    "  --users=N             user records (default 300)\n"
    "  --conferences=C       LMR files QVMSG1.LMR..QVMSG<C>.LMR (default 3)\n"
    "  --capacity=S          slots per LMR file, 4 bytes each (default 9999)\n"
    "Users:\n"
    "  --seed=N              pseudo-random seed for names, flags and filler (default 1)\n"
    "  --today=YYYY-MM-DD    date the last-call ages count back from (default: today)\n"
    "  --plain-names         names \"USER 0001\", \"USER 0002\", ... instead of varied names\n"
    "  --deleted=PCT         share of users 2..N marked Deleted (default 10)\n"
    "  --deleted-users=LIST  exactly these user numbers are Deleted (e.g. 3,7,12)\n"
    "  --user1-deleted       also mark user #1 Deleted\n"
    "  --allow-purge=PCT     share of users with AllowPurge TRUE (default 70)\n"
    "  --old=PCT             share of users whose last call is at least --old-days\n"
    "                        ago; the others called 0..old-days-1 days ago (default 30)\n"
    "  --old-days=D          age in days that counts as old (default 365)\n"
    "  --security=LIST       security levels picked from, e.g. 10,20,-1 (default\n"
    "                        10,20,30,100)\n"
    "  --pointer-tail-differs  QVUSERS.PTR bytes after each name differ from the\n"
    "                        user record's (the pair is still consistent)\n"
    "Other files:\n"
    "  --callers=LIST        callers on line: SLOT[:USER[:MODE]],... (USER defaults\n"
    "                        to the slot number, MODE to 1; slots 0..255)\n"
    "  --work=FIELD          QVNODE.DAT WORK field, at most 28 characters, written\n"
    "                        verbatim (default: unset, i.e. DIRECTORY/WORK)\n"
    "  --message=FIELD       QVNODE.DAT MESSAGE field (default: unset, i.e.\n"
    "                        DIRECTORY/MESSAGE)\n"
    "  --node-size=BYTES     size of QVNODE.DAT (default 192)\n"
    "  --windows-paths       place WORK/MESSAGE where the Windows program under Wine\n"
    "                        looks for them ('\\' separates, Z:\\ is the root)\n"
    "  --purged-log          write an existing WORK/QVPURGED.USR audit log\n"
    "  --help                show this text\n"
    "\n"
    "Every record byte the packer does not interpret holds non-zero filler that\n"
    "varies per user, and every LMR slot (capacity slots included) is non-zero.\n"
    "Exit code 0 on success, 1 when a file cannot be written, 2 for bad usage.\n";

bool ParseUnsigned(const std::string& text, uint64_t max, uint64_t* value) {
  if (text.empty() || text[0] < '0' || text[0] > '9') return false;
  errno = 0;
  char* end = nullptr;
  const unsigned long long parsed = std::strtoull(text.c_str(), &end, 10);
  if (errno != 0 || *end != '\0' || parsed > max) return false;
  *value = parsed;
  return true;
}

bool ParseSigned(const std::string& text, long long min, long long max, long long* value) {
  if (text.empty()) return false;
  errno = 0;
  char* end = nullptr;
  const long long parsed = std::strtoll(text.c_str(), &end, 10);
  if (errno != 0 || *end != '\0' || parsed < min || parsed > max) return false;
  *value = parsed;
  return true;
}

std::vector<std::string> SplitList(const std::string& text, char separator) {
  std::vector<std::string> items;
  size_t start = 0;
  for (;;) {
    const size_t at = text.find(separator, start);
    items.push_back(text.substr(start, at - start));
    if (at == std::string::npos) return items;
    start = at + 1;
  }
}

bool ParseU32(const std::string& text, uint32_t* value) {
  uint64_t parsed;
  if (!ParseUnsigned(text, 0xFFFFFFFFull, &parsed)) return false;
  *value = uint32_t(parsed);
  return true;
}

bool ParsePercent(const std::string& text, unsigned* value) {
  uint64_t parsed;
  if (!ParseUnsigned(text, 100, &parsed)) return false;
  *value = unsigned(parsed);
  return true;
}

bool ParseDate(const std::string& text, SampleDate* date) {
  const std::vector<std::string> parts = SplitList(text, '-');
  uint64_t y, m, d;
  if (parts.size() != 3 || !ParseUnsigned(parts[0], 9999, &y) || !ParseUnsigned(parts[1], 12, &m) ||
      !ParseUnsigned(parts[2], 31, &d) || y < 1600 || m < 1 || d < 1) {
    return false;
  }
  date->year = int(y);
  date->month = int(m);
  date->day = int(d);
  return true;
}

bool ParseNumberList(const std::string& text, std::vector<uint32_t>* numbers) {
  numbers->clear();
  for (const std::string& item : SplitList(text, ',')) {
    uint32_t n;
    if (!ParseU32(item, &n)) return false;
    numbers->push_back(n);
  }
  return true;
}

bool ParseSecurityList(const std::string& text, std::vector<int>* levels) {
  levels->clear();
  for (const std::string& item : SplitList(text, ',')) {
    long long level;
    if (!ParseSigned(item, -32768, 32767, &level)) return false;
    levels->push_back(int(level));
  }
  return true;
}

bool ParseCallers(const std::string& text, std::vector<SampleCaller>* callers) {
  callers->clear();
  for (const std::string& item : SplitList(text, ',')) {
    const std::vector<std::string> parts = SplitList(item, ':');
    uint64_t slot, mode = 1;
    long long userNo;
    if (parts.size() > 3 || !ParseUnsigned(parts[0], kCallerSlots - 1, &slot)) return false;
    userNo = (long long)slot;
    if (parts.size() >= 2 && !ParseSigned(parts[1], -32768, 32767, &userNo)) return false;
    if (parts.size() == 3 && !ParseUnsigned(parts[2], 255, &mode)) return false;
    SampleCaller caller;
    caller.slot = unsigned(slot);
    caller.userNo = int(userNo);
    caller.mode = unsigned(mode);
    callers->push_back(caller);
  }
  return true;
}

// Applies one "--name=value" or flag option; false for an unknown or bad one.
bool ApplyOption(const std::string& name, const std::string& value, bool hasValue,
                 SampleRecipe* recipe) {
  uint64_t number;
  if (!hasValue) {
    if (name == "--plain-names") return recipe->plainNames = true;
    if (name == "--user1-deleted") return recipe->user1Deleted = true;
    if (name == "--windows-paths") return recipe->windowsPathRules = true;
    if (name == "--purged-log") return recipe->purgedLog = true;
    if (name == "--pointer-tail-differs") return recipe->pointerTailDiffers = true;
    return false;
  }
  if (name == "--users") return ParseU32(value, &recipe->users);
  if (name == "--conferences") return ParseU32(value, &recipe->conferences);
  if (name == "--capacity") return ParseU32(value, &recipe->capacity);
  if (name == "--seed") return ParseU32(value, &recipe->seed);
  if (name == "--today") return ParseDate(value, &recipe->today);
  if (name == "--deleted") return ParsePercent(value, &recipe->deletedPercent);
  if (name == "--deleted-users") return ParseNumberList(value, &recipe->deletedUsers);
  if (name == "--allow-purge") return ParsePercent(value, &recipe->allowPurgePercent);
  if (name == "--old") return ParsePercent(value, &recipe->oldPercent);
  if (name == "--old-days") return ParseU32(value, &recipe->oldDays);
  if (name == "--security") return ParseSecurityList(value, &recipe->securityLevels);
  if (name == "--callers") return ParseCallers(value, &recipe->callers);
  if (name == "--work") return (recipe->workField = value).size() <= kNodeFieldCapacity;
  if (name == "--message") return (recipe->messageField = value).size() <= kNodeFieldCapacity;
  if (name == "--node-size" && ParseUnsigned(value, 1u << 20, &number)) {
    recipe->nodeFileSize = unsigned(number);
    return true;
  }
  return false;
}

int UsageError(const std::string& text) {
  std::fprintf(stderr, "qvsample: %s\nTry 'qvsample --help'.\n", text.c_str());
  return 2;
}

void PrintSummary(const std::string& dir, const SampleRecipe& recipe, const SamplePaths& paths) {
  const std::vector<SampleUser> users = PlanSampleUsers(recipe);
  const SampleDate today = ResolvedToday(recipe);
  std::printf("Sample Quorvex home: %s\n", dir.c_str());
  std::printf("  WORK:     %s\n  MESSAGE:  %s\n", paths.work.c_str(), paths.message.c_str());
  std::printf("  %u users, %u LMR files of %u slots, today %04d-%02d-%02d, seed %u\n",
              unsigned(recipe.users), unsigned(recipe.conferences), unsigned(recipe.capacity), today.year,
              today.month, today.day, unsigned(recipe.seed));
  std::printf("  Deleted: %zu users; last call at least %u days ago: %zu users\n",
              DeletedUserNumbers(users).size(), recipe.oldDays, OldUserNumbers(users).size());
}

}  // namespace

int main(int argc, char** argv) {
  SampleRecipe recipe;
  std::string dir;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--help" || arg == "-h") {
      std::fputs(kUsage, stdout);
      return 0;
    }
    if (arg.rfind("--", 0) != 0) {
      if (!dir.empty()) return UsageError("more than one directory given");
      dir = arg;
      continue;
    }
    const size_t eq = arg.find('=');
    const std::string name = arg.substr(0, eq);
    const std::string value = eq == std::string::npos ? std::string() : arg.substr(eq + 1);
    if (!ApplyOption(name, value, eq != std::string::npos, &recipe)) {
      return UsageError("bad option '" + arg + "'");
    }
  }
  if (dir.empty()) return UsageError("no directory given");
  SamplePaths paths;
  std::string error;
  if (!WriteSampleBbs(dir, recipe, &paths, &error)) {
    std::fprintf(stderr, "qvsample: %s\n", error.c_str());
    return 1;
  }
  PrintSummary(dir, recipe, paths);
  return 0;
}
