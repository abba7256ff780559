// The delivery as a whole, and what brand.ini's entries mean against the
// rest of the run: an empty delivery, a missing brand.ini, a restart entry
// whose value says no, and a removal of a key that the scripts write.
#include "linter.h"
#include "platform/text.h"
#include "registry/key_list.h"
#include "registry/script.h"
#include "text.h"

namespace lint {

namespace {

const char* RootName(platform::HKey root) {
  if (root == platform::kHkeyLocalMachine) return "HKEY_LOCAL_MACHINE";
  if (root == platform::kHkeyCurrentUser) return "HKEY_CURRENT_USER";
  return "HKEY_CLASSES_ROOT";
}

// Whether `key` is `removed` or a key below it, compared as the device's
// registry compares names (the core's own case folding).
bool Within(const std::u16string& key, const std::u16string& removed) {
  if (key.size() < removed.size() ||
      !wtext::EqualNoCaseN(key.c_str(), removed.c_str(), removed.size())) {
    return false;
  }
  return key.size() == removed.size() || key[removed.size()] == u'\\';
}

void RestartValue(Context& c) {
  if (!c.restart || c.settings == nullptr) return;
  const Answer& answer = *c.restart;
  std::u16string said = Fold(TrimBlanks(answer.value));
  if (said != u"0" && said != u"no" && said != u"false" && said != u"off") return;
  // The restart decision asks whether the entry is there, never what it says.
  c.report.ErrorAt(c.settings->host_name, answer.line_number,
                   static_cast<std::uint32_t>(answer.parsed.value_begin) + 1, "ini-reboot-no",
                   "reboot=\"" + Show(answer.value) +
                       "\" does not keep the device from restarting: it restarts whenever "
                       "[LENGREBOOT] holds a reboot entry, whatever its value; remove the entry "
                       "(without it the device holds the restart back only after a consent Yes)");
}

void RemovedScriptKeys(Context& c) {
  if (c.settings == nullptr) return;
  for (const Answer& answer : c.removals) {
    KeyEntry entry;
    ParseKeyEntry(answer.value.c_str(), &entry);
    if (entry.status != KeyEntryStatus::kDelete) continue;
    int root = ScriptRootOf(entry.root);
    std::u16string removed = answer.value.substr(static_cast<std::size_t>(entry.parent_begin));
    std::string where;
    for (const ScriptValueSet& set : c.script_values) {
      if (set.root == root && Within(set.key, removed)) {
        where = "`" + ShowHostName(set.file) + "` writes " +
                (set.name.empty() ? std::string("the default value") : "`" + Show(set.name) + "`") +
                " under it at line " + std::to_string(set.line);
        break;
      }
    }
    for (const ScriptKey& key : c.script_keys) {
      if (!where.empty()) break;
      if (key.root == root && Within(key.path, removed)) {
        where = "`" + ShowHostName(key.file) + "` creates `" + Show(key.path) + "` at line " +
                std::to_string(key.line);
      }
    }
    if (where.empty()) continue;
    c.report.ErrorAt(
        c.settings->host_name, answer.line_number,
        static_cast<std::uint32_t>(answer.parsed.value_begin) + 1, "ini-delkey-script-key",
        std::string("deletes ") + RootName(entry.root) + "\\" + Show(removed) + ", and " + where +
            ": the registry scripts run before the removal list, so what they "
            "wrote there is removed again; remove the entry, or write elsewhere");
  }
}

}  // namespace

void CheckDelivery(Context& context) {
  if (context.staged.empty()) {
    context.report.Error("", 0, "file-delivery-empty",
                         "the delivery holds no file: the device installs nothing, yet runs its "
                         "steps, removes the empty staging folder and restarts");
    return;
  }
  if (context.settings == nullptr) {
    context.report.Warning("", 0, "ini-missing",
                           "the delivery has no brand.ini: the device installs no package and no "
                           "theme, places no *.hp or *.ur file, removes no registry key, and "
                           "finds no [LENGREBOOT] reboot entry (after a consent Yes it does not "
                           "restart); only the fixed groups and the registry scripts are applied");
  }
  RestartValue(context);
  RemovedScriptKeys(context);
}

}  // namespace lint
