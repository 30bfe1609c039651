// A backup is the only copy of the pre-pack user base: nobody who cannot already
// write the live database may be able to replace, redirect or plant what a run
// writes there or reads back, so every directory on its way is judged too.
#include "safety/path_trust.h"

#include <cstring>

#include "base/output.h"

namespace {

bool JudgeEntry(const char* entry, bool isDirectory, const platform::TrustedAccounts& accounts,
                PathVerdict* verdict) {
  platform::CopyBounded(verdict->entry.text, sizeof verdict->entry.text, entry);
  verdict->trust = platform::CheckEntryTrust(entry, isDirectory, accounts, &verdict->who);
  return verdict->trust == platform::EntryTrust::Trusted;
}

}  // namespace

bool PathIsTrusted(const char* path, bool isDirectory, const platform::TrustedAccounts& accounts,
                   PathVerdict* verdict) {
  PathBuffer prefix;
  if (!CopyPath(&prefix, path)) {
    verdict->trust = platform::EntryTrust::Unknown;
    return false;
  }
  char* text = prefix.text;
  for (size_t i = FirstCreatableIndex(path); text[i] != '\0'; ++i) {
    if (!IsSeparator(text[i]) || (i > 0 && IsSeparator(text[i - 1]))) continue;
    // A leading separator is the file system's root (POSIX), judged like the rest.
    const size_t cut = i == 0 ? 1 : i;
    const char kept = text[cut];
    text[cut] = '\0';
    const bool trusted = JudgeEntry(text, true, accounts, verdict);
    text[cut] = kept;
    if (!trusted) return false;
  }
  return JudgeEntry(path, isDirectory, accounts, verdict);
}

const char* TrustFailureText(platform::EntryTrust trust, bool isDirectory) {
  switch (trust) {
    case platform::EntryTrust::Trusted:
      return "it is trusted";
    case platform::EntryTrust::Missing:
      return "it does not exist";
    case platform::EntryTrust::WrongKind:
      return isDirectory ? "it is not a directory" : "it is not a regular file";
    case platform::EntryTrust::SymbolicLink:
      return "it is a symbolic link";
    case platform::EntryTrust::WrongOwner:
      return "it is owned by another user";
    case platform::EntryTrust::OpenToOthers:
      return "group or others may write to it";
    case platform::EntryTrust::Unknown:
      break;
  }
  return "it cannot be examined";
}

void DescribeUntrustedPath(const PathVerdict& verdict, bool isDirectory, char* out, size_t size) {
  const char* why = TrustFailureText(verdict.trust, isDirectory);
  if (verdict.who.text[0] == '\0') {
    FormatBounded(out, size, "%s: %s", why, verdict.entry.text);
    return;
  }
  const bool owner = verdict.trust == platform::EntryTrust::WrongOwner;
  FormatBounded(out, size,
                "%s: %s (%s %s, who cannot write QVUSERS.DAT; keep backups in a protected folder, "
                "one that only the accounts that write QVUSERS.DAT can change)",
                why, verdict.entry.text, owner ? "owned by" : "changeable by", verdict.who.text);
}
