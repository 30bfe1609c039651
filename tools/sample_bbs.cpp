// Sample Quorvex home directory writer. See sample_bbs.h.
#include "sample_bbs.h"

#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>

namespace {

constexpr unsigned kBatchRecords = 4096;  // user records per fwrite

const char* const kFirstNames[] = {
    "JOHN",  "MARY",   "ROBERT", "LINDA",  "MICHAEL", "SUSAN",  "DAVID",   "KAREN",
    "JAMES", "NANCY",  "WILLIAM", "BETTY", "RICHARD", "HELEN",  "THOMAS",  "SANDRA",
    "MARK",  "DONNA",  "PAUL",   "CAROL",  "STEVEN",  "RUTH",   "KEVIN",   "SHARON",
    "BRIAN", "LAURA",  "GEORGE", "SARAH",  "EDWARD",  "KIMBERLY", "RONALD", "DEBORAH"};
const char* const kLastNames[] = {
    "SMITH",   "JOHNSON", "WILLIAMS", "BROWN",    "JONES",     "MILLER",  "DAVIS",  "GARCIA",
    "WILSON",  "ANDERSON", "TAYLOR",  "THOMAS",   "MOORE",     "JACKSON", "MARTIN", "LEE",
    "THOMPSON", "WHITE",  "HARRIS",   "CLARK",    "LEWIS",     "ROBINSON", "WALKER", "YOUNG",
    "ALLEN",   "KING",    "WRIGHT",   "SCOTT",    "HILL",      "GREEN",   "ADAMS",  "BAKER",
    "NELSON",  "CARTER",  "MITCHELL", "ROBERTS",  "FITZGERALD-MONTGOMERY"};
const char* const kPlaces[] = {
    "Springfield, IL", "Portland, OR",  "Austin, TX",      "Boise, ID",      "Dayton, OH",
    "Tampa, FL",       "Reno, NV",      "Omaha, NE",       "Albany, NY",     "Tucson, AZ",
    "Mobile, AL",      "Fargo, ND",     "Eugene, OR",      "Provo, UT",      "Salem, MA",
    "Bangor, ME",      "Duluth, MN",    "Macon, GA",       "Peoria, IL",     "Flagstaff, AZ",
    "Colorado Springs, CO", "Sioux Falls, SD", "Baton Rouge, LA", "Ann Arbor, MI"};

template <typename T, size_t N>
constexpr size_t CountOf(T (&)[N]) {
  return N;
}

// Salts that keep the per-user choices independent of each other.
enum Salt : uint64_t {
  kSaltFirst = 1,
  kSaltLast,
  kSaltPlace,
  kSaltDeleted,
  kSaltAllow,
  kSaltOld,
  kSaltAge,
  kSaltYearForm,
  kSaltSecurity,
  kSaltPointerTail,
};

uint64_t Mix64(uint64_t x) {
  x += 0x9E3779B97F4A7C15ull;
  x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
  x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
  return x ^ (x >> 31);
}

uint64_t UserRandom(uint32_t seed, uint32_t userNo, uint64_t salt) {
  return Mix64((uint64_t(seed) << 32) ^ (uint64_t(userNo) * 0x100000001B3ull) ^ (salt << 56) ^ salt);
}

uint32_t Mix32(uint32_t x) {
  x ^= x >> 16;
  x *= 0x7FEB352Du;
  x ^= x >> 15;
  x *= 0x846CA68Bu;
  x ^= x >> 16;
  return x;
}

// Proleptic Gregorian day count (days since 1970-01-01).
int64_t DaysFromCivil(int y, int m, int d) {
  y -= m <= 2;
  const int64_t era = (y >= 0 ? y : y - 399) / 400;
  const int64_t yoe = y - era * 400;
  const int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + doe - 719468;
}

SampleDate CivilFromDays(int64_t z) {
  z += 719468;
  const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const int64_t doe = z - era * 146097;
  const int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const int64_t mp = (5 * doy + 2) / 153;
  SampleDate date;
  date.day = int(doy - (153 * mp + 2) / 5 + 1);
  date.month = int(mp < 10 ? mp + 3 : mp - 9);
  date.year = int(yoe + era * 400 + (date.month <= 2));
  return date;
}

bool Fail(std::string* error, const std::string& text) {
  if (error) *error = text;
  return false;
}

bool IsSeparator(char c) { return c == '/' || c == '\\'; }

std::string TrimSeparators(std::string path) {
  while (path.size() > 1 && IsSeparator(path.back())) path.pop_back();
  return path;
}

std::string JoinHost(const std::string& dir, const std::string& name) {
  if (dir.empty() || dir.back() == '/') return dir + name;
  return dir + "/" + name;
}

bool HasDriveLetter(const std::string& field) {
  return field.size() >= 2 && field[1] == ':' &&
         ((field[0] >= 'A' && field[0] <= 'Z') || (field[0] >= 'a' && field[0] <= 'z'));
}

// The host directory the program uses for one QVNODE.DAT field.
bool ResolveField(const std::string& home, const std::string& field, const char* fallback,
                  bool windowsRules, std::string* dir, std::string* error) {
  if (field.empty()) {
    *dir = JoinHost(home, fallback);
    return true;
  }
  std::string trimmed = TrimSeparators(field);
  const bool unc = trimmed.size() >= 2 && IsSeparator(trimmed[0]) && IsSeparator(trimmed[1]);
  if (!windowsRules) {
    if (HasDriveLetter(trimmed) || unc) {
      return Fail(error, "field '" + field + "' names no POSIX directory the sample can write");
    }
    *dir = trimmed[0] == '/' ? trimmed : JoinHost(home, trimmed);
    return true;
  }
  std::replace(trimmed.begin(), trimmed.end(), '\\', '/');
  if (HasDriveLetter(trimmed)) {
    if ((trimmed[0] != 'Z' && trimmed[0] != 'z') || trimmed.size() < 3 || trimmed[2] != '/') {
      return Fail(error, "field '" + field + "' names no drive the sample can write (only Z:\\)");
    }
    *dir = trimmed.substr(2);
    return true;
  }
  if (unc) return Fail(error, "field '" + field + "' is a UNC path the sample cannot write");
  *dir = JoinHost(home, trimmed[0] == '/' ? trimmed.substr(1) : trimmed);
  return true;
}

void PutPascal(std::string* record, unsigned offset, const std::string& text) {
  (*record)[offset] = char(text.size());
  std::memcpy(&(*record)[offset + 1], text.data(), text.size());
}

void PutLe16(std::string* bytes, size_t offset, int value) {
  (*bytes)[offset] = char(value & 0xFF);
  (*bytes)[offset + 1] = char((value >> 8) & 0xFF);
}

void PutLe32(std::string* bytes, size_t offset, uint32_t value) {
  for (int i = 0; i < 4; ++i) (*bytes)[offset + i] = char((value >> (8 * i)) & 0xFF);
}

std::string UserName(const SampleRecipe& recipe, uint32_t n) {
  char text[32];
  if (recipe.plainNames) {
    std::snprintf(text, sizeof text, "USER %04u", unsigned(n));
    return text;
  }
  if (n == 1) return "SYSOP";
  const char* first = kFirstNames[UserRandom(recipe.seed, n, kSaltFirst) % CountOf(kFirstNames)];
  const char* last = kLastNames[UserRandom(recipe.seed, n, kSaltLast) % CountOf(kLastNames)];
  std::snprintf(text, sizeof text, "%s %s", first, last);
  return std::string(text).substr(0, kNameCapacity);
}

bool Share(uint32_t seed, uint32_t n, uint64_t salt, unsigned percent) {
  return UserRandom(seed, n, salt) % 100 < percent;
}

// One flag per user number (index n), set for the listed numbers.
std::vector<bool> NumberMask(const std::vector<uint32_t>& numbers, uint32_t count) {
  std::vector<bool> mask(size_t(count) + 1, false);
  for (uint32_t n : numbers) {
    if (n >= 1 && n <= count) mask[n] = true;
  }
  return mask;
}

int64_t UserAge(const SampleRecipe& recipe, uint32_t n) {
  const uint64_t r = UserRandom(recipe.seed, n, kSaltAge);
  if (Share(recipe.seed, n, kSaltOld, recipe.oldPercent) || recipe.oldDays == 0) {
    const uint64_t spread = std::min<uint64_t>(recipe.oldDays, 3650) + 1;
    return int64_t(recipe.oldDays + r % spread);
  }
  return int64_t(r % recipe.oldDays);
}

SampleUser PlanUser(const SampleRecipe& recipe, const SampleDate& today, uint32_t n) {
  SampleUser user;
  user.number = n;
  user.name = UserName(recipe, n);
  user.callingFrom = kPlaces[UserRandom(recipe.seed, n, kSaltPlace) % CountOf(kPlaces)];
  user.ageDays = UserAge(recipe, n);
  user.old = user.ageDays >= int64_t(recipe.oldDays);
  user.timeDate = TimeDateForAge(today, user.ageDays, UserRandom(recipe.seed, n, kSaltYearForm) & 1);
  const size_t levels = recipe.securityLevels.size();
  user.security = int16_t(levels ? recipe.securityLevels[UserRandom(recipe.seed, n, kSaltSecurity) % levels]
                                 : 0);
  user.allowPurge = Share(recipe.seed, n, kSaltAllow, recipe.allowPurgePercent);
  user.deleted = n == 1 ? recipe.user1Deleted : Share(recipe.seed, n, kSaltDeleted, recipe.deletedPercent);
  return user;
}

bool CheckRecipe(const SampleRecipe& recipe, std::string* error) {
  if (recipe.workField.size() > kNodeFieldCapacity || recipe.messageField.size() > kNodeFieldCapacity) {
    return Fail(error, "a QVNODE.DAT field holds at most 28 characters");
  }
  if (recipe.deletedPercent > 100 || recipe.allowPurgePercent > 100 || recipe.oldPercent > 100) {
    return Fail(error, "a percentage is above 100");
  }
  if (recipe.securityLevels.empty()) return Fail(error, "no security levels given");
  for (int level : recipe.securityLevels) {
    if (level < -32768 || level > 32767) return Fail(error, "a security level is not 16-bit");
  }
  for (const SampleCaller& caller : recipe.callers) {
    if (caller.slot >= kCallerSlots || caller.mode > 255 || caller.userNo < -32768 ||
        caller.userNo > 32767) {
      return Fail(error, "a caller slot, user number or mode is out of range");
    }
  }
  if (uint64_t(recipe.users) * kUserRecordSize > 0xFFFFFFFFull) {
    return Fail(error, "too many users for a 32-bit QVUSERS.DAT");
  }
  return true;
}

bool WriteUserFiles(const std::string& work, const SampleRecipe& recipe,
                    const std::vector<SampleUser>& users, std::string* error) {
  const std::string datPath = UserFilePath(work);
  const std::string ptrPath = PointerFilePath(work);
  FILE* dat = std::fopen(datPath.c_str(), "wb");
  FILE* ptr = std::fopen(ptrPath.c_str(), "wb");
  bool ok = dat && ptr;
  std::string datBlock;
  std::string ptrBlock;
  for (size_t i = 0; ok && i < users.size(); ++i) {
    const std::string record = UserRecordBytes(recipe, users[i]);
    std::string pointer = record.substr(0, kPointerRecordSize);
    if (recipe.pointerTailDiffers) {
      for (unsigned o = 1 + unsigned(users[i].name.size()); o < kPointerRecordSize; ++o) {
        pointer[o] = char(UserFillerByte(recipe.seed ^ uint32_t(kSaltPointerTail), users[i].number, o));
      }
    }
    datBlock += record;
    ptrBlock += pointer;
    if ((i + 1) % kBatchRecords == 0 || i + 1 == users.size()) {
      ok = std::fwrite(datBlock.data(), 1, datBlock.size(), dat) == datBlock.size() &&
           std::fwrite(ptrBlock.data(), 1, ptrBlock.size(), ptr) == ptrBlock.size();
      datBlock.clear();
      ptrBlock.clear();
    }
  }
  if (dat && std::fclose(dat) != 0) ok = false;
  if (ptr && std::fclose(ptr) != 0) ok = false;
  return ok || Fail(error, "cannot write " + datPath + " / " + ptrPath + ": " + std::strerror(errno));
}

bool WriteFileOrFail(const std::string& path, const std::string& bytes, std::string* error) {
  return WriteWholeFile(path, bytes) ||
         Fail(error, "cannot write " + path + ": " + std::strerror(errno));
}

bool WriteLmrFiles(const std::string& message, const SampleRecipe& recipe, std::string* error) {
  for (uint32_t c = 1; c <= recipe.conferences; ++c) {
    if (!WriteFileOrFail(LmrFilePath(message, c), LmrFileBytes(recipe, c), error)) return false;
  }
  // A file system that tells case apart holds both: the second conference's bytes.
  if (recipe.lowerCaseTwin &&
      !WriteFileOrFail(message + "/qvmsg1.lmr", LmrFileBytes(recipe, 2), error)) {
    return false;
  }
  return true;
}

std::vector<uint32_t> NumbersWhere(const std::vector<SampleUser>& users, bool SampleUser::*flag) {
  std::vector<uint32_t> numbers;
  for (const SampleUser& user : users) {
    if (user.*flag) numbers.push_back(user.number);
  }
  return numbers;
}

std::string FieldPath(const std::string& dir, const char* name) { return JoinHost(dir, name); }

// Byte offset of a record or slot, 1-based index.
uint64_t RecordOffset(uint64_t n, unsigned size) { return (n - 1) * size; }

bool ReadAt(const std::string& path, uint64_t offset, size_t count, std::string* bytes) {
  FILE* file = std::fopen(path.c_str(), "rb");
  if (!file) return false;
  bytes->assign(count, '\0');
  const bool ok = std::fseek(file, long(offset), SEEK_SET) == 0 &&
                  std::fread(&(*bytes)[0], 1, count, file) == count;
  std::fclose(file);
  return ok;
}

}  // namespace

SampleDate ResolvedToday(const SampleRecipe& recipe) {
  if (recipe.today.year != 0) return recipe.today;
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  SampleDate today;
  today.year = local.tm_year + 1900;
  today.month = local.tm_mon + 1;
  today.day = local.tm_mday;
  return today;
}

std::string TimeDateForAge(const SampleDate& today, int64_t ageDays, bool fourDigitYear) {
  const SampleDate date = CivilFromDays(DaysFromCivil(today.year, today.month, today.day) - ageDays);
  // The two-digit form covers 1980..2079 only.
  const bool twoDigits = !fourDigitYear && date.year >= 1980 && date.year <= 2079;
  char text[32];
  if (twoDigits) {
    std::snprintf(text, sizeof text, "%02d/%02d/%02d", date.month, date.day, date.year % 100);
  } else {
    std::snprintf(text, sizeof text, "%02d/%02d/%04d", date.month, date.day, date.year);
  }
  return text;
}

std::vector<SampleUser> PlanSampleUsers(const SampleRecipe& recipe) {
  const SampleDate today = ResolvedToday(recipe);
  std::vector<SampleUser> users;
  users.reserve(recipe.users);
  const std::vector<bool> listed = NumberMask(recipe.deletedUsers, recipe.users);
  for (uint32_t n = 1; n <= recipe.users; ++n) {
    users.push_back(PlanUser(recipe, today, n));
    if (!recipe.deletedUsers.empty()) users.back().deleted = listed[n] || (n == 1 && recipe.user1Deleted);
  }
  return users;
}

std::vector<uint32_t> DeletedUserNumbers(const std::vector<SampleUser>& users) {
  return NumbersWhere(users, &SampleUser::deleted);
}

std::vector<uint32_t> OldUserNumbers(const std::vector<SampleUser>& users) {
  return NumbersWhere(users, &SampleUser::old);
}

uint8_t UserFillerByte(uint32_t seed, uint32_t userNo, unsigned offset) {
  const uint32_t x = Mix32(userNo * 0x9E3779B1u ^ offset * 0x85EBCA6Bu ^ Mix32(seed + 0x51ED27u));
  return uint8_t(x % 255 + 1);
}

uint32_t LmrSlotValue(uint32_t seed, uint32_t conference, uint64_t slot) {
  const uint32_t x = Mix32(uint32_t(slot) * 0xC2B2AE35u ^ uint32_t(slot >> 32) ^
                           Mix32(conference * 0x27D4EB2Fu ^ Mix32(seed)));
  return x ? x : 1;
}

std::string LmrFileName(uint32_t conference) { return "QVMSG" + std::to_string(conference) + ".LMR"; }

std::string UserRecordBytes(const SampleRecipe& recipe, const SampleUser& user) {
  std::string record(kUserRecordSize, '\0');
  for (unsigned o = 0; o < kUserRecordSize; ++o) {
    record[o] = char(UserFillerByte(recipe.seed, user.number, o));
  }
  PutPascal(&record, kUserNameOffset, user.name.substr(0, kNameCapacity));
  PutPascal(&record, kCallingFromOffset, user.callingFrom.substr(0, kCallingFromCapacity));
  PutPascal(&record, kTimeDateOffset, user.timeDate.substr(0, kTimeDateCapacity));
  PutLe16(&record, kSecurityOffset, user.security);
  record[kAllowPurgeOffset] = char(user.allowPurge ? 1 : 0);
  record[kDeletedOffset] = char(user.deleted ? 1 : 0);
  return record;
}

std::string LmrFileBytes(const SampleRecipe& recipe, uint32_t conference) {
  std::string bytes(uint64_t(recipe.capacity) * kLmrSlotSize, '\0');
  for (uint64_t s = 1; s <= recipe.capacity; ++s) {
    PutLe32(&bytes, RecordOffset(s, kLmrSlotSize), LmrSlotValue(recipe.seed, conference, s));
  }
  return bytes;
}

std::string CallerFileBytes(const SampleRecipe& recipe) {
  std::string bytes(kCallerFileSize, '\0');
  for (unsigned slot = 0; slot < kCallerSlots; ++slot) {
    const size_t at = size_t(slot) * kCallerRecordSize;
    PutLe16(&bytes, at, 0);
    bytes[at + 2] = char(slot % 4);  // idle node modes
    for (unsigned i = 3; i < kCallerRecordSize; ++i) {
      bytes[at + i] = char(UserFillerByte(recipe.seed, 0x10000 + slot, i));
    }
  }
  for (const SampleCaller& caller : recipe.callers) {
    const size_t at = size_t(caller.slot) * kCallerRecordSize;
    PutLe16(&bytes, at, caller.userNo);
    bytes[at + 2] = char(caller.mode);
  }
  return bytes;
}

std::string NodeFileBytes(const SampleRecipe& recipe) {
  const unsigned size = std::max(recipe.nodeFileSize, kNodeMessageOffset + 1 + kNodeFieldCapacity);
  std::string bytes(size, '\0');
  for (unsigned i = 0; i < size; ++i) bytes[i] = char('A' + i % 26);
  PutPascal(&bytes, kNodeWorkOffset, recipe.workField);
  PutPascal(&bytes, kNodeMessageOffset, recipe.messageField);
  bytes.resize(recipe.nodeFileSize);
  return bytes;
}

std::string PurgedLogBytes(const SampleRecipe& recipe) {
  std::string text =
      "\r\nQVCULLDB32 0.4.0-beta1 packed on 2001-02-03 at 04:05:06\r\n"
      "CALLER NAME                    SECURITY  LAST CALLED     CALLING FROM\r\n" +
      std::string(79, '-') + "\r\n";
  SampleRecipe earlier = recipe;
  earlier.seed = recipe.seed ^ 0xA5A5A5A5u;
  const SampleDate when = {2001, 2, 3};
  for (uint32_t n = 2; n <= 4; ++n) {
    const SampleUser user = PlanUser(earlier, when, n);
    char line[160];
    std::snprintf(line, sizeof line, "%-30s  %8d  %-14s  %s\r\n", user.name.c_str(), user.security,
                  user.timeDate.c_str(), user.callingFrom.c_str());
    text += line;
  }
  return text;
}

bool ResolveSamplePaths(const std::string& home, const SampleRecipe& recipe, SamplePaths* paths,
                        std::string* error) {
  paths->home = TrimSeparators(home);
  return ResolveField(paths->home, recipe.workField, "WORK", recipe.windowsPathRules, &paths->work,
                      error) &&
         ResolveField(paths->home, recipe.messageField, "MESSAGE", recipe.windowsPathRules,
                      &paths->message, error);
}

bool WriteSampleBbs(const std::string& home, const SampleRecipe& recipe, std::string* error) {
  SamplePaths paths;
  return WriteSampleBbs(home, recipe, &paths, error);
}

bool WriteSampleBbs(const std::string& home, const SampleRecipe& recipe, SamplePaths* paths,
                    std::string* error) {
  if (!CheckRecipe(recipe, error) || !ResolveSamplePaths(home, recipe, paths, error)) return false;
  for (const std::string& dir : {paths->home, paths->work, paths->message}) {
    if (!MakeDirectories(dir)) {
      return Fail(error, "cannot create " + dir + ": " + std::strerror(errno));
    }
  }
  const std::vector<SampleUser> users = PlanSampleUsers(recipe);
  return WriteFileOrFail(JoinHost(paths->home, "QVNODE.DAT"), NodeFileBytes(recipe), error) &&
         WriteUserFiles(paths->work, recipe, users, error) &&
         WriteFileOrFail(CallerFilePath(paths->work), CallerFileBytes(recipe), error) &&
         WriteLmrFiles(paths->message, recipe, error) &&
         (!recipe.purgedLog ||
          WriteFileOrFail(PurgedLogPath(paths->work), PurgedLogBytes(recipe), error)) &&
         ((AgeFiles(paths->home) && AgeFiles(paths->work) && AgeFiles(paths->message)) ||
          Fail(error, "cannot set the modification times under " + paths->home));
}

bool AgeFiles(const std::string& dir) {
  namespace fs = std::filesystem;
  std::error_code failed;
  const fs::file_time_type longAgo = fs::file_time_type::clock::now() - std::chrono::hours(24 * 30);
  for (fs::recursive_directory_iterator it(dir, failed), end; !failed && it != end; it.increment(failed)) {
    if (it->is_regular_file(failed) && !failed) fs::last_write_time(it->path(), longAgo, failed);
  }
  return !failed;
}

bool ReadWholeFile(const std::string& path, std::string* bytes) {
  bytes->clear();
  FILE* file = std::fopen(path.c_str(), "rb");
  if (!file) return false;
  char block[65536];
  size_t got;
  while ((got = std::fread(block, 1, sizeof block, file)) > 0) bytes->append(block, got);
  const bool ok = !std::ferror(file);
  std::fclose(file);
  return ok;
}

bool WriteWholeFile(const std::string& path, const std::string& bytes) {
  FILE* file = std::fopen(path.c_str(), "wb");
  if (!file) return false;
  bool ok = std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
  if (std::fclose(file) != 0) ok = false;
  return ok;
}

bool MakeDirectories(const std::string& path) {
  for (size_t i = 1; i <= path.size(); ++i) {
    if (i < path.size() && path[i] != '/') continue;
    const std::string part = path.substr(0, i);
    if (::mkdir(part.c_str(), 0777) != 0 && errno != EEXIST) return false;
  }
  struct stat info;
  return ::stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

bool PatchFile(const std::string& path, uint64_t offset, const std::string& bytes) {
  FILE* file = std::fopen(path.c_str(), "r+b");
  if (!file) return false;
  const bool inside = std::fseek(file, 0, SEEK_END) == 0 &&
                      offset + bytes.size() <= uint64_t(std::ftell(file));
  bool ok = inside && std::fseek(file, long(offset), SEEK_SET) == 0 &&
            std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
  if (std::fclose(file) != 0) ok = false;
  return ok;
}

std::string UserFilePath(const std::string& work) { return FieldPath(work, "QVUSERS.DAT"); }
std::string PointerFilePath(const std::string& work) { return FieldPath(work, "QVUSERS.PTR"); }
std::string CallerFilePath(const std::string& work) { return FieldPath(work, "QVWHOSON.DAT"); }
std::string PurgedLogPath(const std::string& work) { return FieldPath(work, "QVPURGED.USR"); }

bool ReadUserRecord(const std::string& work, uint32_t n, std::string* bytes) {
  return n >= 1 &&
         ReadAt(UserFilePath(work), RecordOffset(n, kUserRecordSize), kUserRecordSize, bytes);
}

bool ReadPointerRecord(const std::string& work, uint32_t n, std::string* bytes) {
  return n >= 1 && ReadAt(PointerFilePath(work), RecordOffset(n, kPointerRecordSize),
                          kPointerRecordSize, bytes);
}

bool WritePointerRecord(const std::string& work, uint32_t n, const std::string& bytes) {
  return n >= 1 && bytes.size() == kPointerRecordSize &&
         PatchFile(PointerFilePath(work), RecordOffset(n, kPointerRecordSize), bytes);
}

bool SetUserBytes(const std::string& work, uint32_t n, unsigned offset, const std::string& bytes) {
  return n >= 1 && offset + bytes.size() <= kUserRecordSize &&
         PatchFile(UserFilePath(work), RecordOffset(n, kUserRecordSize) + offset, bytes);
}

bool SetUserName(const std::string& work, uint32_t n, const std::string& name, bool alsoPointer) {
  if (name.size() > kNameCapacity) return false;
  const std::string field = char(name.size()) + name;
  return SetUserBytes(work, n, kUserNameOffset, field) &&
         (!alsoPointer ||
          PatchFile(PointerFilePath(work), RecordOffset(n, kPointerRecordSize), field));
}

bool SetCallingFrom(const std::string& work, uint32_t n, const std::string& text) {
  return text.size() <= kCallingFromCapacity &&
         SetUserBytes(work, n, kCallingFromOffset, char(text.size()) + text);
}

bool SetTimeDate(const std::string& work, uint32_t n, const std::string& text) {
  return text.size() <= kTimeDateCapacity &&
         SetUserBytes(work, n, kTimeDateOffset, char(text.size()) + text);
}

bool SetLengthByte(const std::string& work, uint32_t n, unsigned fieldOffset, uint8_t length) {
  return SetUserBytes(work, n, fieldOffset, std::string(1, char(length)));
}

bool SetSecurity(const std::string& work, uint32_t n, int16_t security) {
  std::string bytes(2, '\0');
  PutLe16(&bytes, 0, security);
  return SetUserBytes(work, n, kSecurityOffset, bytes);
}

bool SetAllowPurge(const std::string& work, uint32_t n, uint8_t value) {
  return SetUserBytes(work, n, kAllowPurgeOffset, std::string(1, char(value)));
}

bool SetDeleted(const std::string& work, uint32_t n, uint8_t value) {
  return SetUserBytes(work, n, kDeletedOffset, std::string(1, char(value)));
}

bool SetNodeField(const std::string& home, unsigned offset, uint8_t length,
                  const std::string& chars) {
  if (chars.size() > kNodeFieldCapacity) return false;
  return PatchFile(JoinHost(TrimSeparators(home), "QVNODE.DAT"), offset, char(length) + chars);
}

std::string LmrFilePath(const std::string& message, uint32_t conference) {
  return JoinHost(message, LmrFileName(conference));
}

std::string PackedUserFile(const std::string& dat, const std::vector<uint32_t>& purged) {
  std::string packed;
  const uint32_t count = uint32_t(dat.size() / kUserRecordSize);
  const std::vector<bool> purge = NumberMask(purged, count);
  for (uint32_t n = 1; n <= count; ++n) {
    if (!purge[n]) packed += dat.substr(RecordOffset(n, kUserRecordSize), kUserRecordSize);
  }
  return packed;
}

std::string PackedPointerFile(const std::string& dat, const std::vector<uint32_t>& purged) {
  std::string packed;
  const uint32_t count = uint32_t(dat.size() / kUserRecordSize);
  const std::vector<bool> purge = NumberMask(purged, count);
  for (uint32_t n = 1; n <= count; ++n) {
    if (!purge[n]) {
      packed += dat.substr(RecordOffset(n, kUserRecordSize), kPointerRecordSize);
    }
  }
  return packed;
}

std::string PackedLmrFile(const std::string& lmr, uint32_t userCount,
                          const std::vector<uint32_t>& purged) {
  std::string packed;
  const uint64_t slots = lmr.size() / kLmrSlotSize;
  const std::vector<bool> purge = NumberMask(purged, userCount);
  for (uint64_t s = 1; s <= slots && s <= userCount; ++s) {
    if (!purge[s]) {
      packed += lmr.substr(RecordOffset(s, kLmrSlotSize), kLmrSlotSize);
    }
  }
  packed.resize(lmr.size(), '\0');
  return packed;
}
