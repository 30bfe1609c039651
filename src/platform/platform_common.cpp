// The text routines and the interrupt state both backends share.
#include <atomic>
#include <cstdio>
#include <cstring>

#include "platform/interrupt_state.h"
#include "platform/platform.h"

namespace platform {

bool IsSeparator(char c) { return c == '\\' || c == '/'; }

void CopyBounded(char* dest, size_t size, const char* source) {
  const size_t len = strnlen(source, size - 1);
  memcpy(dest, source, len);
  dest[len] = '\0';
}

namespace {

// The codes the program can meet, in its own words; the README's table lists them.
struct KnownError {
  uint32_t code;
  const char* meaning;
};
constexpr KnownError kKnownErrors[] = {
    {2, "the file cannot be found"},
    {3, "the path cannot be found"},
    {4, "too many files are open"},
    {5, "access is denied"},
    {19, "the disk is write-protected"},
    {21, "the device is not ready"},
    {23, "the data cannot be read"},
    {31, "the device reported an error"},
    {32, "another program has the file open"},
    {33, "another program has locked part of the file"},
    {39, "the disk is full"},
    {53, "the network path cannot be found"},
    {59, "an unexpected network error occurred"},
    {64, "the network name is no longer available"},
    {67, "the network name cannot be found"},
    {80, "the file exists"},
    {87, "a parameter is not valid"},
    {112, "the disk is full"},
    {123, "the name is not valid"},
    {183, "the name exists already"},
    {206, "the name is too long"},
    {222, "it is not a regular file"},
    {223, "the file is larger than the system allows"},
    {1117, "an I/O device error occurred"},
    {1450, "not enough system resources"},
};

}  // namespace

ErrorMeaning DescribeWindowsError(uint32_t code) {
  ErrorMeaning out{};
  for (const KnownError& known : kKnownErrors) {
    if (known.code == code) {
      snprintf(out.text, sizeof out.text, "Windows error %u: %s", static_cast<unsigned>(code),
               known.meaning);
      return out;
    }
  }
  snprintf(out.text, sizeof out.text, "Windows error %u", static_cast<unsigned>(code));
  return out;
}

namespace interrupt_state {

namespace {

// Above 0: an interrupt came during a hold and waits, with its event code.
constexpr int kNormal = 0;       // an interrupt runs the clean-up and the process ends
constexpr int kHolding = -1;     // an interrupt is remembered in the word itself
constexpr int kCleaningUp = -2;  // an interrupt's clean-up is under way; the process is ending

std::atomic<int> g_state{kNormal};
static_assert(std::atomic<int>::is_always_lock_free, "the interrupt side changes it");

}  // namespace

Claim ClaimInterrupt(int event) {
  int state = g_state.load();
  // A failed swap reloads state: another thread moved it meanwhile.
  for (;;) {
    if (state == kNormal) {
      if (g_state.compare_exchange_weak(state, kCleaningUp)) return Claim::CleanUp;
    } else if (state == kHolding) {
      if (g_state.compare_exchange_weak(state, event)) return Claim::Held;
    } else {
      return Claim::Ignored;
    }
  }
}

bool BeginHold() {
  int state = kNormal;
  return g_state.compare_exchange_strong(state, kHolding) || state != kCleaningUp;
}

void EndUnusedHold() {
  int state = kHolding;
  g_state.compare_exchange_strong(state, kNormal);
}

int EndHoldTakingEvent() {
  int state = kHolding;
  if (g_state.compare_exchange_strong(state, kNormal)) return 0;
  // Only a held event is taken; kNormal and kCleaningUp have none to give.
  while (state > 0 && !g_state.compare_exchange_weak(state, kCleaningUp)) {
  }
  return state > 0 ? state : 0;
}

int HeldEvent() {
  const int state = g_state.load();
  return state > 0 ? state : 0;
}

bool Holding() {
  const int state = g_state.load();
  return state == kHolding || state > 0;
}

}  // namespace interrupt_state

namespace {

constexpr uint32_t kAclVersion = 2;
constexpr uint16_t kAclUser = 0x02, kAclGroupObject = 0x04, kAclGroup = 0x08, kAclMask = 0x10,
                   kAclOther = 0x20;
constexpr uint16_t kAclWrite = 0x02;

// The attribute is little-endian whatever the machine.
uint32_t LittleEndian(const unsigned char* bytes, size_t count) {
  uint32_t value = 0;
  for (size_t i = count; i > 0; --i) value = (value << 8) | bytes[i - 1];
  return value;
}

}  // namespace

EntryTrust JudgeAccessAcl(const void* bytes, size_t size, uint32_t fileGroup, uint32_t runningUser,
                          const TrustedAccounts& accounts) {
  const unsigned char* acl = static_cast<const unsigned char*>(bytes);
  if (size < 4 || (size - 4) % 8 != 0 || LittleEndian(acl, 4) != kAclVersion) {
    return EntryTrust::WrongKind;
  }
  const size_t count = (size - 4) / 8;
  uint16_t mask = 0xFFFF;
  for (size_t i = 0; i < count; ++i) {
    const unsigned char* entry = acl + 4 + 8 * i;
    if (LittleEndian(entry, 2) == kAclMask) mask = static_cast<uint16_t>(LittleEndian(entry + 2, 2));
  }
  const auto trustedGroup = [&](uint32_t group) {
    return accounts.known && accounts.groupMayWrite && group == accounts.group;
  };
  for (size_t i = 0; i < count; ++i) {
    const unsigned char* entry = acl + 4 + 8 * i;
    const uint32_t tag = LittleEndian(entry, 2), id = LittleEndian(entry + 4, 4);
    const uint16_t perm = static_cast<uint16_t>(LittleEndian(entry + 2, 2));
    const bool masked = tag == kAclUser || tag == kAclGroupObject || tag == kAclGroup;
    if (((masked ? perm & mask : perm) & kAclWrite) == 0) continue;
    const bool trusted =
        tag == kAclUser ? id == 0 || id == runningUser || (accounts.known && id == accounts.owner)
        : tag == kAclGroup       ? trustedGroup(id)
        : tag == kAclGroupObject ? trustedGroup(fileGroup)
        : tag != kAclOther;
    if (!trusted) return EntryTrust::OpenToOthers;
  }
  return EntryTrust::Trusted;
}

namespace {

constexpr const char* kEveryone = "S-1-1-0";
// Always trusted: the system itself, the administrators and the installer service.
constexpr const char* const kSystemPrincipals[] = {
    "S-1-5-18", "S-1-5-32-544", "S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464"};

bool AddWriter(const char* principal, TrustedAccounts* accounts) {
  for (uint32_t i = 0; i < accounts->writerCount; ++i) {
    if (strcmp(accounts->writers[i], principal) == 0) return true;
  }
  if (accounts->writerCount == kMostDatabaseWriters) return false;
  CopyBounded(accounts->writers[accounts->writerCount++], kSidTextSize, principal);
  return true;
}

// OWNER RIGHTS stands for the owner; CREATOR OWNER and CREATOR GROUP grant
// nothing on the entry itself.
bool IsStandIn(const char* principal) {
  return strcmp(principal, "S-1-3-4") == 0 || strcmp(principal, "S-1-3-0") == 0 ||
         strcmp(principal, "S-1-3-1") == 0;
}

bool PrincipalTrusted(const char* principal, const char* runningUser,
                      const TrustedAccounts& accounts) {
  if (principal[0] == '\0') return false;
  if (strcmp(principal, runningUser) == 0) return true;
  for (const char* system : kSystemPrincipals) {
    if (strcmp(principal, system) == 0) return true;
  }
  for (uint32_t i = 0; accounts.known && i < accounts.writerCount; ++i) {
    if (strcmp(principal, accounts.writers[i]) == 0) return true;
  }
  return false;
}

}  // namespace

void RecordDatabaseWriters(const SecurityFacts& database, TrustedAccounts* accounts) {
  accounts->writerCount = 0;
  if (database.owner[0] != '\0') AddWriter(database.owner, accounts);
  if (!database.hasList) {
    AddWriter(kEveryone, accounts);
    return;
  }
  for (uint32_t i = 0; i < database.count; ++i) {
    const AccessRule& rule = database.rules[i];
    if (rule.allows && !rule.inheritOnly && (rule.mask & kWriteRights) != 0) {
      AddWriter(rule.principal, accounts);
    }
  }
}

EntryTrust JudgeSecurity(const SecurityFacts& entry, const char* runningUser,
                         const TrustedAccounts& accounts, char* who, size_t whoSize) {
  CopyBounded(who, whoSize, "");
  if (!PrincipalTrusted(entry.owner, runningUser, accounts)) {
    CopyBounded(who, whoSize, entry.owner);
    return EntryTrust::WrongOwner;
  }
  if (!entry.hasList) {
    if (PrincipalTrusted(kEveryone, runningUser, accounts)) return EntryTrust::Trusted;
    CopyBounded(who, whoSize, kEveryone);
    return EntryTrust::OpenToOthers;
  }
  // An entry beyond those read could grant anyone anything.
  if (entry.tooMany) return EntryTrust::OpenToOthers;
  for (uint32_t i = 0; i < entry.count; ++i) {
    const AccessRule& rule = entry.rules[i];
    if (!rule.allows || rule.inheritOnly || (rule.mask & kChangeRights) == 0) continue;
    // The owner (judged above) and the placeholders only inheritance fills in.
    if (IsStandIn(rule.principal)) continue;
    if (!PrincipalTrusted(rule.principal, runningUser, accounts)) {
      CopyBounded(who, whoSize, rule.principal);
      return EntryTrust::OpenToOthers;
    }
  }
  return EntryTrust::Trusted;
}

bool SameStamp(const FileStamp& a, const FileStamp& b) {
  return a.identity.volume == b.identity.volume && a.identity.index == b.identity.index &&
         a.size == b.size && a.modifiedNs == b.modifiedNs && a.changedNs == b.changedNs;
}

}  // namespace platform
