// Writes a complete, deterministic sample Quorvex home directory (QVNODE.DAT,
// the user files, the caller-status file, the LMR files and optionally an old
// audit log) and patches single records of it, for tests and demonstrations.
//
// Every byte the packer does not interpret is filled with a non-zero pattern
// that depends on the seed, the user (or slot) and the offset, so a pack that
// rewrites a field, mixes two records or copies capacity slots shows up as a
// byte difference.
//
// Record patch helpers take the WORK or MESSAGE directory (SamplePaths), not the
// home directory, so that they keep working after a test has rewritten QVNODE.DAT.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// The layouts of the Quorvex files, written down here on their own and not
// taken from the packer's sources: an offset the packer gets wrong is then not
// also wrong in the data that tests it. Offsets are in bytes from the start of
// a record; a Pascal field is a length byte followed by its character area.

// QVUSERS.DAT: 315-byte user records, user n at (n - 1) x 315.
constexpr unsigned kUserRecordSize = 315;
constexpr unsigned kUserNameOffset = 0;       // length 0..30, then 30 characters
constexpr unsigned kNameCapacity = 30;
constexpr unsigned kCallingFromOffset = 31;   // length 0..30, then 30 characters
constexpr unsigned kCallingFromCapacity = 30;
constexpr unsigned kTimeDateOffset = 77;      // length 0..14, then 14 characters
constexpr unsigned kTimeDateCapacity = 14;
constexpr unsigned kSecurityOffset = 114;     // signed 16-bit, little-endian
constexpr unsigned kAllowPurgeOffset = 263;   // Boolean byte
constexpr unsigned kDeletedOffset = 268;      // Boolean byte
// QVUSERS.PTR: 31-byte pointer records, the user's name field alone.
constexpr unsigned kPointerRecordSize = 31;
// QVMSGn.LMR: one 4-byte little-endian slot per user number.
constexpr unsigned kLmrSlotSize = 4;
// QVNODE.DAT: the WORK and MESSAGE fields, each a length byte and up to 28
// characters; the packer reads at most 192 bytes and needs at least 134.
constexpr unsigned kNodeFileSize = 192;
constexpr unsigned kNodeWorkOffset = 18;
constexpr unsigned kNodeMessageOffset = 105;
constexpr unsigned kNodeFieldCapacity = 28;
// QVWHOSON.DAT: 256 node records of 6 bytes (user number, signed 16-bit; mode).
constexpr unsigned kCallerFileSize = 1536;
constexpr unsigned kCallerRecordSize = 6;
constexpr unsigned kCallerSlots = 256;

struct SampleDate {
  int year = 0;  // 0: today's local date when the sample is planned
  int month = 0;
  int day = 0;
};

// A caller on line at a node slot (1 to 255; slot 0 is written too if asked).
struct SampleCaller {
  unsigned slot = 0;
  int userNo = 0;
  unsigned mode = 1;
};

struct SampleRecipe {
  uint32_t users = 300;
  uint32_t conferences = 3;  // QVMSG1.LMR .. QVMSG<conferences>.LMR
  uint32_t capacity = 9999;  // slots per LMR file (may be below users)
  uint32_t seed = 1;
  SampleDate today;          // the date the ages are counted back from

  bool plainNames = false;   // "USER 0001" instead of varied names

  // Deleted: exactly the users in deletedUsers when it is not empty, else
  // deletedPercent of users 2..N; user1Deleted adds user #1 in both cases.
  unsigned deletedPercent = 10;
  std::vector<uint32_t> deletedUsers;
  bool user1Deleted = false;

  unsigned allowPurgePercent = 70;
  // oldPercent of the users get a last call at least oldDays ago; the others
  // one 0..oldDays-1 days ago.
  unsigned oldPercent = 30;
  unsigned oldDays = 365;
  std::vector<int> securityLevels = {10, 20, 30, 100};

  // QVNODE.DAT: the WORK and MESSAGE fields as written (empty = unset, the
  // default directories). nodeFileSize bytes are written (at least 134 for a
  // usable file; the sample itself needs 134 to hold both fields).
  std::string workField;
  std::string messageField;
  unsigned nodeFileSize = kNodeFileSize;
  // Resolve the fields as the Windows program does under Wine: '\' separates,
  // "Z:\..." is absolute. Otherwise as the POSIX program: '/' is absolute and
  // every byte of a relative field is part of the name.
  bool windowsPathRules = false;

  std::vector<SampleCaller> callers;
  bool purgedLog = false;          // write an existing WORK/QVPURGED.USR
  bool pointerTailDiffers = false; // QVUSERS.PTR bytes after the name differ
  bool lowerCaseTwin = false;      // also MESSAGE/qvmsg1.lmr (POSIX), other content
};

// What the sample holds for one user.
struct SampleUser {
  uint32_t number = 0;
  std::string name;
  std::string callingFrom;
  std::string timeDate;
  int64_t ageDays = 0;  // today minus the last-call date
  int16_t security = 0;
  bool allowPurge = false;
  bool deleted = false;
  bool old = false;  // ageDays >= recipe.oldDays
};

// Where the files of a sample live.
struct SamplePaths {
  std::string home;
  std::string work;
  std::string message;
};

// today with a zero year replaced by the local date.
SampleDate ResolvedToday(const SampleRecipe& recipe);
std::vector<SampleUser> PlanSampleUsers(const SampleRecipe& recipe);
// The user numbers whose flag is set, in increasing order.
std::vector<uint32_t> DeletedUserNumbers(const std::vector<SampleUser>& users);
std::vector<uint32_t> OldUserNumbers(const std::vector<SampleUser>& users);

// Where the program will look for WORK and MESSAGE, as host paths; false when a
// field names a place the sample cannot write (a drive other than Z:, UNC).
bool ResolveSamplePaths(const std::string& home, const SampleRecipe& recipe,
                        SamplePaths* paths, std::string* error);

// Writes the whole sample beneath home (created with its parents if missing).
bool WriteSampleBbs(const std::string& home, const SampleRecipe& recipe, std::string* error);
bool WriteSampleBbs(const std::string& home, const SampleRecipe& recipe, SamplePaths* paths,
                    std::string* error);

// Deterministic contents.
uint8_t UserFillerByte(uint32_t seed, uint32_t userNo, unsigned offset);
uint32_t LmrSlotValue(uint32_t seed, uint32_t conference, uint64_t slot);
std::string LmrFileName(uint32_t conference);  // "QVMSG<conference>.LMR"
std::string UserRecordBytes(const SampleRecipe& recipe, const SampleUser& user);
std::string LmrFileBytes(const SampleRecipe& recipe, uint32_t conference);
std::string CallerFileBytes(const SampleRecipe& recipe);
std::string NodeFileBytes(const SampleRecipe& recipe);
std::string PurgedLogBytes(const SampleRecipe& recipe);

// Whole files.
bool ReadWholeFile(const std::string& path, std::string* bytes);
bool WriteWholeFile(const std::string& path, const std::string& bytes);
// Sets every regular file under dir to a modification time a month back, as a
// board's files are when a run starts: a run trusts the unmoved stamp of a file
// last changed well before it read it, and reads again one changed a moment
// before; files just written would make that choice, and so the calls a run
// makes, depend on timing.
bool AgeFiles(const std::string& dir);
bool MakeDirectories(const std::string& path);
// Overwrites bytes at offset inside an existing file; false, and nothing
// written, when they would reach past its end.
bool PatchFile(const std::string& path, uint64_t offset, const std::string& bytes);

// User records in WORK (n is the 1-based user number).
std::string UserFilePath(const std::string& work);     // WORK/QVUSERS.DAT
std::string PointerFilePath(const std::string& work);  // WORK/QVUSERS.PTR
std::string CallerFilePath(const std::string& work);   // WORK/QVWHOSON.DAT
std::string PurgedLogPath(const std::string& work);    // WORK/QVPURGED.USR
bool ReadUserRecord(const std::string& work, uint32_t n, std::string* bytes);
bool ReadPointerRecord(const std::string& work, uint32_t n, std::string* bytes);
bool WritePointerRecord(const std::string& work, uint32_t n, const std::string& bytes);
// Raw bytes at an offset of user record n.
bool SetUserBytes(const std::string& work, uint32_t n, unsigned offset, const std::string& bytes);
// Length byte and leading characters; the bytes past the text keep their
// filler. The name (at most 30) is also written to the pointer record when
// alsoPointer is set.
bool SetUserName(const std::string& work, uint32_t n, const std::string& name,
                 bool alsoPointer = true);
bool SetCallingFrom(const std::string& work, uint32_t n, const std::string& text);
bool SetTimeDate(const std::string& work, uint32_t n, const std::string& text);
// A length byte alone, for damaged records (e.g. 40 for UserName).
bool SetLengthByte(const std::string& work, uint32_t n, unsigned fieldOffset, uint8_t length);
bool SetSecurity(const std::string& work, uint32_t n, int16_t security);
bool SetAllowPurge(const std::string& work, uint32_t n, uint8_t value);
bool SetDeleted(const std::string& work, uint32_t n, uint8_t value);
// "MM/DD/YYYY" (fourDigitYear) or "MM/DD/YY" of the day ageDays before today.
std::string TimeDateForAge(const SampleDate& today, int64_t ageDays, bool fourDigitYear);


// QVNODE.DAT field at kNodeWorkOffset or kNodeMessageOffset: the length byte
// as given (0, or above 28, means unset) and up to 28 characters.
bool SetNodeField(const std::string& home, unsigned offset, uint8_t length,
                  const std::string& chars);

// LMR slots (slot is 1-based).
std::string LmrFilePath(const std::string& message, uint32_t conference);

// What a correct pack leaves, given the live bytes before it and the purged
// user numbers: the retained records in order; their first 31 bytes as the
// pointer file; the retained LMR slots followed by zero capacity of the same
// size.
std::string PackedUserFile(const std::string& dat, const std::vector<uint32_t>& purged);
std::string PackedPointerFile(const std::string& dat, const std::vector<uint32_t>& purged);
std::string PackedLmrFile(const std::string& lmr, uint32_t userCount,
                          const std::vector<uint32_t>& purged);
