// Every code a finding of `brandsim lint` may carry, in the order that
// tools/lint/README.md explains them, with what `--explain` and the SARIF
// rules say about each. `brandsim lint --list-codes` prints the codes, and
// the shell completion asks for them; a test holds this table equal to the
// codes the checks use and to the README's rows (severity and summary).
#include "codes.h"
#include "linter.h"

namespace lint {

const CodeInfo kCodeTable[] = {
    {"ini-missing", false, "",
     "finds no brand.ini: installs no package and no theme, places no `*.hp`/`*.ur` file, removes "
     "no key, and finds no `[LENGREBOOT]` entry",
     "brand.ini is what the steps read to find packages, the theme, the destinations of *.hp and "
     "*.ur files, the keys to remove and the restart entry. Without it every lookup finds nothing: "
     "no package is installed, no theme applied, no mapped file placed, no key removed; the fixed "
     "groups (images, *.tsk, ...) and the registry scripts still run. The device still restarts "
     "unless it asked for consent and got a Yes.",
     "a delivery holding only logo.gif and brand.reg",
     "stage a brand.ini beside them, e.g.\n"
     "[LENGREBOOT]\n"
     "reboot=\"1\""},
    {"ini-utf16", true, "", "reads a UTF-16 brand.ini byte by byte and finds no entry at all",
     "The device reads brand.ini one byte at a time as code page 1250 text. In UTF-16 every other "
     "byte is zero, so no line starts with `[` where the device looks for it and no lookup ever "
     "finds an entry: no package, theme, destination or removal is read.",
     "brand.ini saved as \"Unicode\" (UTF-16 LE, bytes FF FE 5B 00 ...)",
     "save brand.ini as 8-bit text in code page 1250 (\"ANSI\")"},
    {"ini-bom", true, "(warning when the first line is no header)",
     "reads a UTF-8 byte-order mark as part of the first line, so the first header is not one",
     "A UTF-8 byte-order mark (EF BB BF) is read as three characters at the start of the first "
     "line. When that line is a section header it no longer starts with `[`, so the whole first "
     "section is never found (an error); otherwise the mark only spoils the first line (a "
     "warning).",
     "EF BB BF [ADDITIONAL_CABS]\n"
     "cab0=\"one.cab\"",
     "save the file without the byte-order mark"},
    {"ini-no-final-newline", true, "",
     "never reads a last line without LF (nor any line of a file with CR-only line ends)",
     "The device's line reader hands a line over only when it meets LF. Text after the last LF is "
     "never read; a file whose lines end with CR alone has no line at all for the device.",
     "[LENGREBOOT]\n"
     "reboot=\"1\"   (no line break at the end of the file)",
     "end every line, the last one too, with CR LF"},
    {"ini-large", false, "", "reads brand.ini from its start for every lookup (over 64 KiB)",
     "Every lookup reads brand.ini from its first byte until it finds its entry or the end. A file "
     "over 64 KiB makes every step slow on the device, and the lookups of a big file add up.",
     "a brand.ini of 200 KiB of comments", "keep brand.ini to the entries the steps read"},
    {"ini-unknown-section", false, "", "never reads a section of that name",
     "The device asks only for [ADDITIONAL_CABS], [skin], [HOMEPAGE], [URLS], [REG_DEL_KEY] and "
     "[LENGREBOOT]. Entries of any other section are never read.",
     "[PACKAGES]\n"
     "cab0=\"one.cab\"",
     "[ADDITIONAL_CABS]\n"
     "cab0=\"one.cab\""},
    {"ini-section-blank", true, "",
     "takes blanks inside `[ skin ]` as part of the name: the section is never found",
     "The section name is everything between the brackets, blanks included, and the device "
     "compares it whole. `[ skin ]` is not `[skin]`, so its entries are never found.",
     "[ skin ]\n"
     "skin=\"\\Windows\\blue.tsk\"",
     "[skin]\n"
     "skin=\"\\Windows\\blue.tsk\""},
    {"ini-before-section", true, "", "never reads an entry before the first header",
     "A lookup starts reading entries only after the header of its section. Lines above the first "
     "header belong to no section and are never read.",
     "cab0=\"one.cab\"\n"
     "[ADDITIONAL_CABS]",
     "[ADDITIONAL_CABS]\n"
     "cab0=\"one.cab\""},
    {"ini-after-blank", true, "",
     "ends a section at a blank line (or a line starting with NUL): later entries are never found",
     "The device takes a blank line (or a line that starts with a NUL byte) as the end of a "
     "section: a lookup stops there. Entries after it are never found, although they stand under "
     "the right header.",
     "[ADDITIONAL_CABS]\n"
     "cab0=\"one.cab\"\n"
     "\n"
     "cab1=\"two.cab\"",
     "[ADDITIONAL_CABS]\n"
     "cab0=\"one.cab\"\n"
     "cab1=\"two.cab\""},
    {"ini-repeated-section", true, "",
     "reads only the first section of a name: entries of a repeated one are never found",
     "A lookup stops at the end of the first section of its name. A second header of the same "
     "name, in any case, starts a section that no lookup reaches.",
     "[ADDITIONAL_CABS]\n"
     "cab0=\"one.cab\"\n"
     "[LENGREBOOT]\n"
     "reboot=\"1\"\n"
     "[ADDITIONAL_CABS]\n"
     "cab1=\"two.cab\"",
     "[ADDITIONAL_CABS]\n"
     "cab0=\"one.cab\"\n"
     "cab1=\"two.cab\"\n"
     "[LENGREBOOT]\n"
     "reboot=\"1\""},
    {"ini-key-blank", true, "",
     "takes blanks before `=` (or before the key) as part of the key: never found",
     "The key is everything before `=`, blanks included, and the device compares it whole: `cab0 ` "
     "and `  cab0` are never found as `cab0`.",
     "[ADDITIONAL_CABS]\n"
     "cab0 =\"one.cab\"",
     "[ADDITIONAL_CABS]\n"
     "cab0=\"one.cab\""},
    {"ini-duplicate-key", true, "",
     "uses the first of two entries with one key: the second is never read",
     "A lookup returns the first entry with its key in the section. A later entry with the same "
     "key, in any case, is never read.",
     "[skin]\n"
     "skin=\"\\Windows\\blue.tsk\"\n"
     "skin=\"\\Windows\\red.tsk\"",
     "keep the one entry that is meant:\n"
     "[skin]\n"
     "skin=\"\\Windows\\red.tsk\""},
    {"ini-unknown-key", false, "",
     "never asks for that key in a section it reads (`[skin]`, `[LENGREBOOT]`, the numbered lists)",
     "In the sections whose keys are fixed the device asks only for its own keys: `cab0`, `cab1`, "
     "... in [ADDITIONAL_CABS], `key0`, ... in [REG_DEL_KEY], `skin` in [skin] and `reboot` in "
     "[LENGREBOOT]. Other keys there are never read.",
     "[ADDITIONAL_CABS]\n"
     "package0=\"one.cab\"",
     "[ADDITIONAL_CABS]\n"
     "cab0=\"one.cab\""},
    {"ini-number-gap", true, "",
     "stops `cab%d`/`key%d` at the first missing number: later entries are never read",
     "The device asks for cab0, cab1, ... (and key0, key1, ...) in turn and stops at the first "
     "number it does not find. Entries after a gap are never read.",
     "[ADDITIONAL_CABS]\n"
     "cab0=\"one.cab\"\n"
     "cab2=\"two.cab\"",
     "[ADDITIONAL_CABS]\n"
     "cab0=\"one.cab\"\n"
     "cab1=\"two.cab\""},
    {"ini-number-start", true, "", "starts at `cab0`/`key0`: a list without it is never read",
     "The numbered lists start at 0. A list without cab0 (or key0) ends before its first lookup, "
     "so none of its entries is read.",
     "[ADDITIONAL_CABS]\n"
     "cab1=\"one.cab\"",
     "[ADDITIONAL_CABS]\n"
     "cab0=\"one.cab\""},
    {"ini-number-leading-zero", true, "", "asks for `cab1`, never `cab01`",
     "The device formats the key it looks for as `cab%d`: `cab1`, never `cab01`. An entry numbered "
     "with leading zeros is never found.",
     "[ADDITIONAL_CABS]\n"
     "cab00=\"one.cab\"",
     "[ADDITIONAL_CABS]\n"
     "cab0=\"one.cab\""},
    {"ini-no-equals", true, "", "reads an entry without `=` as an empty value",
     "A line without `=` is taken whole as the key, and its value is empty. The step then works "
     "with an empty value: a package installer started for the staging folder, an empty "
     "destination, and so on.",
     "[ADDITIONAL_CABS]\n"
     "cab0 one.cab",
     "[ADDITIONAL_CABS]\n"
     "cab0=\"one.cab\""},
    {"ini-unquoted-value", true, "",
     "skips the character after `=` unexamined: `cab0=one.cab` is read as `ne.cab`",
     "The device takes the character after `=` for the opening quote and skips it without looking "
     "at it; the value then runs to the next quote or the end of the line. Without quotes the "
     "first character of the value is lost.",
     "[ADDITIONAL_CABS]\n"
     "cab0=one.cab        (read as ne.cab)",
     "[ADDITIONAL_CABS]\n"
     "cab0=\"one.cab\""},
    {"ini-value-blank", true, "",
     "skips a blank after `=` in place of the quote, so the quote ends the value at once",
     "The character right after `=` is skipped in place of the opening quote. With a blank there, "
     "the real opening quote is read as the closing one and the value is empty.",
     "[ADDITIONAL_CABS]\n"
     "cab0= \"one.cab\"     (read as an empty value)",
     "[ADDITIONAL_CABS]\n"
     "cab0=\"one.cab\""},
    {"ini-long-line", true, "", "cuts a line at 255 characters: the value (or section name) is cut",
     "The line reader keeps the first 255 characters of a line and drops the rest. A value or "
     "section name that reaches past them is cut and names something else.",
     "[HOMEPAGE]\n"
     "start.hp=\"\\Windows\\...a path of 300 characters...\\start.htm\"",
     "shorten the line to 255 characters at most"},
    {"ini-nul", true, "", "reads a line only up to a NUL byte",
     "Every rule reads a line up to its first NUL byte. What follows the NUL on that line is never "
     "seen.",
     "cab0=\"one<NUL>.cab\"", "remove the NUL byte: cab0=\"one.cab\""},
    {"ini-cp1250-undefined", true, "",
     "turns the bytes 0x81, 0x83, 0x88, 0x90, 0x98 of a value into control characters",
     "Values are decoded from code page 1250, which does not define the bytes 0x81, 0x83, 0x88, "
     "0x90 and 0x98. The device turns them into invisible control characters, so a path holding "
     "one names a file that does not exist.",
     "start.hp=\"\\Windows\\<0x81>start.htm\"",
     "write the value with characters code page 1250 defines"},
    {"ini-utf8", true, "", "decodes a UTF-8 value as code page 1250 (`Stará` becomes `StarĂˇ`)",
     "The device decodes values from code page 1250. UTF-8 text, with two or more bytes per "
     "letter, comes out as other letters: `Stará` becomes `StarĂˇ`.",
     "[HOMEPAGE]\n"
     "start.hp=\"\\Windows\\Stará.htm\"   (saved as UTF-8)",
     "save brand.ini in code page 1250"},
    {"ini-package-missing", true, "",
     "starts the package installer for a file the delivery does not hold (or for an empty value)",
     "The device starts the package installer for the path the entry names, whether or not the "
     "file is there. A name that the delivery does not hold (or an empty value) installs nothing.",
     "[ADDITIONAL_CABS]\n"
     "cab0=\"tools.cab\"     (the delivery holds Tools_v2.cab)",
     "[ADDITIONAL_CABS]\n"
     "cab0=\"Tools_v2.cab\""},
    {"ini-package-path-long", true, "",
     "skips a package whose command line does not fit 255 characters",
     "The package installer's command line, `/noui \"\\Temp\\branding\\NAME\"`, must fit 255 "
     "characters. A package whose command line does not fit is skipped, never cut.",
     "cab0=\"a name of 250 characters.cab\"", "rename the package to a short name"},
    {"ini-theme-path-long", true, "",
     "skips the theme (registry and installer) when its command line does not fit",
     "The theme step builds `/safe /noui /nouninstall /delete 0 \"PATH\"`, which must fit 255 "
     "characters. When it does not, the theme's registry part and its installer are both skipped.",
     "[skin]\n"
     "skin=\"\\Windows\\a path of 240 characters.tsk\"",
     "name the theme by a shorter path"},
    {"ini-theme-moved", true, "",
     "has moved a staged `*.tsk` to `\\Windows` before the theme step, so "
     "`\\Temp\\branding\\x.tsk` is gone",
     "The fixed groups move every staged *.tsk to \\Windows before the theme step runs. A theme "
     "named in the staging folder is gone by then.",
     "[skin]\n"
     "skin=\"\\Temp\\branding\\blue.tsk\"",
     "[skin]\n"
     "skin=\"\\Windows\\blue.tsk\""},
    {"ini-theme-missing", true, "",
     "applies a theme named in the staging folder that the delivery does not hold",
     "The theme is named in the staging folder, but the delivery holds no such file: the device "
     "starts the theme installer for a file that does not exist.",
     "[skin]\n"
     "skin=\"\\Temp\\branding\\blue.tsk\"  (no blue.tsk staged)",
     "stage blue.tsk and write skin=\"\\Windows\\blue.tsk\""},
    {"ini-theme-in-staging", false, "",
     "does not wait for the theme installer and then removes the staging folder the theme sits in",
     "The device does not wait for the theme installer, and the clean-up removes the staging "
     "folder at the end of the run. A theme read from the staging folder may be gone before the "
     "installer opens it.",
     "[skin]\n"
     "skin=\"\\Temp\\branding\\themes\\blue.cab\"",
     "stage the theme as blue.tsk and write skin=\"\\Windows\\blue.tsk\""},
    {"ini-theme-not-staged", false, "",
     "needs the theme on the device already (without `--device`)",
     "The theme named is not staged as a *.tsk in this delivery, so it must already be on the "
     "device. Without --device the linter cannot tell whether it is.",
     "[skin]\n"
     "skin=\"\\Windows\\corporate.tsk\"",
     "stage corporate.tsk in the delivery, or check against the device with --device DIR"},
    {"ini-missing-destination", true, "",
     "leaves a staged `*.hp`/`*.ur` without an entry in place and removes it at clean-up",
     "Each staged *.hp and *.ur file is moved where its [HOMEPAGE] or [URLS] entry says. Without "
     "an entry for its name the file stays in the staging folder and the clean-up removes it.",
     "start.hp staged, and [HOMEPAGE] names only home.hp",
     "[HOMEPAGE]\n"
     "start.hp=\"\\Windows\\start.htm\""},
    {"ini-destination-not-staged", false, "",
     "never uses a `[HOMEPAGE]`/`[URLS]` entry that names no staged file of the group",
     "A [HOMEPAGE] or [URLS] entry is looked up only for a staged file of its group. An entry that "
     "names no such file is never used; often the file's name or extension differs.",
     "[HOMEPAGE]\n"
     "start.htm=\"\\Windows\\start.htm\"   (the staged file is start.hp)",
     "[HOMEPAGE]\n"
     "start.hp=\"\\Windows\\start.htm\""},
    {"ini-destination-empty", true, "", "fails to move a file to an empty destination",
     "A mapped file is moved to its entry's value. An empty value is no path, the move fails and "
     "the clean-up removes the file.",
     "[HOMEPAGE]\n"
     "start.hp=\"\"",
     "[HOMEPAGE]\n"
     "start.hp=\"\\Windows\\start.htm\""},
    {"ini-destination-folder", true, "", "fails to move a file to a destination ending in `\\`",
     "The destination is the new path of the file itself, not a folder to move it into. A value "
     "ending in `\\` names the folder, and the move fails.",
     "[HOMEPAGE]\n"
     "start.hp=\"\\Windows\\\"",
     "[HOMEPAGE]\n"
     "start.hp=\"\\Windows\\start.hp\""},
    {"ini-delkey-no-backslash", true, "", "skips a key to remove without `\\`",
     "A key to remove is ROOT\\path. A value without any backslash has no path, and the device "
     "skips it.",
     "[REG_DEL_KEY]\n"
     "key0=\"OldBrand\"",
     "[REG_DEL_KEY]\n"
     "key0=\"HKEY_LOCAL_MACHINE\\Software\\OldBrand\""},
    {"ini-delkey-unknown-root", true, "",
     "skips a key whose root it does not know (`HKLM`, `HKEY_USERS`, ...)",
     "The device knows the roots HKEY_LOCAL_MACHINE, HKEY_CURRENT_USER and HKEY_CLASSES_ROOT by "
     "their full names only. An abbreviation or another root is skipped.",
     "[REG_DEL_KEY]\n"
     "key0=\"HKLM\\Software\\OldBrand\"",
     "[REG_DEL_KEY]\n"
     "key0=\"HKEY_LOCAL_MACHINE\\Software\\OldBrand\""},
    {"ini-delkey-root-run-in", true, "",
     "takes the root from its first 17/18 characters: `HKEY_LOCAL_MACHINEX\\Software\\A` deletes "
     "`HKEY_LOCAL_MACHINE\\Software\\A`",
     "The root is recognised by its first 17 or 18 characters, and the path starts after the first "
     "backslash. A root name run into the next word still picks the root, and the key deleted is "
     "another than the one written.",
     "[REG_DEL_KEY]\n"
     "key0=\"HKEY_LOCAL_MACHINEX\\Software\\A\"   (deletes HKEY_LOCAL_MACHINE\\Software\\A)",
     "[REG_DEL_KEY]\n"
     "key0=\"HKEY_LOCAL_MACHINE\\Software\\A\""},
    {"ini-delkey-empty-leaf", true, "", "skips a key ending in `\\`",
     "A key path ending in `\\` has no key name after its last backslash. The device skips it "
     "rather than delete the key above.",
     "[REG_DEL_KEY]\n"
     "key0=\"HKEY_LOCAL_MACHINE\\Software\\OldBrand\\\"",
     "[REG_DEL_KEY]\n"
     "key0=\"HKEY_LOCAL_MACHINE\\Software\\OldBrand\""},
    {"ini-delkey-top-level", false, "",
     "deletes a key directly under a root, with everything below it",
     "Deleting a key removes everything below it. A key right under a root "
     "(HKEY_LOCAL_MACHINE\\Software, say) holds far more than one brand's settings.",
     "[REG_DEL_KEY]\n"
     "key0=\"HKEY_LOCAL_MACHINE\\Software\"",
     "[REG_DEL_KEY]\n"
     "key0=\"HKEY_LOCAL_MACHINE\\Software\\OldBrand\""},
    {"ini-delkey-script-key", true, "",
     "deletes a key that the delivery's registry scripts wrote earlier in the same run, with what "
     "they wrote",
     "The registry scripts run before the removal list. A key to remove that a script of the same "
     "delivery writes (or a key above it) is deleted after the script wrote it, with the values "
     "the script set.",
     "brand.reg: [HKEY_LOCAL_MACHINE\\Software\\Brand]\n"
     "           \"Name\"=\"Example\"\n"
     "brand.ini: [REG_DEL_KEY]\n"
     "           key0=\"HKEY_LOCAL_MACHINE\\Software\\Brand\"",
     "remove only the old key: key0=\"HKEY_LOCAL_MACHINE\\Software\\OldBrand\""},
    {"ini-reboot-no", true, "",
     "restarts for a `[LENGREBOOT]` `reboot` entry whatever its value: `reboot=\"0\"` restarts too",
     "The restart decision asks only whether [LENGREBOOT] holds a `reboot` entry, never what it "
     "says. `reboot=\"0\"`, `no` or `false` make the device restart just as `1` does.",
     "[LENGREBOOT]\n"
     "reboot=\"0\"",
     "remove the [LENGREBOOT] entry (the device then holds the restart back only after a consent "
     "Yes)"},
    {"reg-utf16", true, "", "reads a UTF-16 script byte by byte and changes nothing",
     "The device reads registry scripts one byte at a time as code page 1250 text, as regedit's "
     "8-bit exports (REGEDIT4) are written. A UTF-16 export (Windows Registry Editor Version 5.00) "
     "has a zero byte after every character, no line starts with `[`, and nothing is written.",
     "brand.reg exported by regedit as \"Registration Files\" (UTF-16 LE)",
     "export as \"Win9x/NT4 Registration Files (*.reg)\" (REGEDIT4, 8-bit)"},
    {"reg-changes-nothing", true, "",
     "finds no key header at the start of any line (or no line at all: CR-only line ends)",
     "The device writes values only under a key header, a line starting with `[`. A script without "
     "one (or with CR-only line ends, which give no line at all) changes nothing.",
     "\"Name\"=\"Example\"",
     "[HKEY_LOCAL_MACHINE\\Software\\Brand]\n"
     "\"Name\"=\"Example\""},
    {"reg-no-final-newline", true, "", "never reads a last line without LF",
     "The line reader hands a line over only when it meets LF. The last line of a script without a "
     "final line break is never read.",
     "[HKEY_LOCAL_MACHINE\\Software\\Brand]\n"
     "\"Name\"=\"Example\"   (no line break at the end)",
     "end the file with CR LF"},
    {"reg-unknown-root", true, "",
     "passes over a header whose root it does not know (`HKLM`, `HKEY_USERS`, ...) and its values",
     "The device knows HKEY_LOCAL_MACHINE, HKEY_CURRENT_USER and HKEY_CLASSES_ROOT by their full "
     "names. A header with another root (or an abbreviation) is passed over with its values.",
     "[HKLM\\Software\\Brand]\n"
     "\"Name\"=\"Example\"",
     "[HKEY_LOCAL_MACHINE\\Software\\Brand]\n"
     "\"Name\"=\"Example\""},
    {"reg-delete-key", true, "", "does not delete keys: `[-key]` is passed over",
     "regedit deletes a key for `[-KEY]`; the device does not: it passes over the header and the "
     "values below it.",
     "[-HKEY_LOCAL_MACHINE\\Software\\OldBrand]",
     "list the key in brand.ini:\n"
     "[REG_DEL_KEY]\n"
     "key0=\"HKEY_LOCAL_MACHINE\\Software\\OldBrand\""},
    {"reg-indented-header", true, "",
     "passes over a header led by blanks or a UTF-8 byte-order mark, and its values",
     "A header must start the line with `[`. One led by blanks, or by a UTF-8 byte-order mark, is "
     "no header: the device passes over it and its values.",
     "  [HKEY_LOCAL_MACHINE\\Software\\Brand]", "[HKEY_LOCAL_MACHINE\\Software\\Brand]"},
    {"reg-block-ended", true, "",
     "ends a key block at a blank, comment or other line: the value lines below it are passed over",
     "The device reads value lines only in an unbroken run right after a header. A blank line, a "
     "comment or any other line ends the block, and later value lines are passed over until the "
     "next header.",
     "[HKEY_LOCAL_MACHINE\\Software\\Brand]\n"
     "\"A\"=\"1\"\n"
     "\n"
     "\"B\"=\"2\"",
     "[HKEY_LOCAL_MACHINE\\Software\\Brand]\n"
     "\"A\"=\"1\"\n"
     "\"B\"=\"2\""},
    {"reg-indented-value", true, "",
     "reads no value line led by blanks (and such a line ends the block)",
     "A value line must start with `\"` or `@`. One led by blanks is not read, and it ends the key "
     "block, so the value lines after it are lost too.",
     "[HKEY_LOCAL_MACHINE\\Software\\Brand]\n"
     "  \"Name\"=\"Example\"",
     "[HKEY_LOCAL_MACHINE\\Software\\Brand]\n"
     "\"Name\"=\"Example\""},
    {"reg-value-outside-block", true, "", "passes over value lines before the first header",
     "Value lines are written under the key of the header above them. Value lines before the first "
     "header have no key, and the device passes over them.",
     "REGEDIT4\n"
     "\"Name\"=\"Example\"\n"
     "[HKEY_LOCAL_MACHINE\\Software\\Brand]",
     "REGEDIT4\n"
     "[HKEY_LOCAL_MACHINE\\Software\\Brand]\n"
     "\"Name\"=\"Example\""},
    {"reg-long-line", true, "",
     "cuts a line at 255 characters: a key path, string or data is cut (a string can never reach "
     "1023 bytes, since its line is cut first)",
     "The line reader keeps the first 255 characters of a line. A longer key path, string or data "
     "is cut, and what is written differs from what was meant; a string can never reach the 1023 "
     "bytes a value holds, since its line is cut first.",
     "\"Blob\"=hex:00,01,02,... (a line of 400 characters)",
     "continue long data on more lines, each ending with a backslash"},
    {"reg-nul", true, "", "reads a line only up to a NUL byte",
     "Every rule reads a line up to its first NUL byte. What follows it on that line is not seen.",
     "\"Name\"=\"Exa<NUL>mple\"", "remove the NUL byte"},
    {"reg-name-unclosed", true, "", "writes nothing for a value whose name has no closing quote",
     "A value name runs from its opening quote to the closing one. Without the closing quote there "
     "is no value name, and the device writes nothing.",
     "\"Name=\"Example\"", "\"Name\"=\"Example\""},
    {"reg-blank-around-equals", true, "",
     "writes nothing for `\"name\" = \"x\"`: the type is read from a fixed place",
     "The device takes the character right after the name's closing quote for `=` and reads the "
     "type from the next one. Blanks around `=` move everything, and the line writes nothing.",
     "\"Name\" = \"Example\"", "\"Name\"=\"Example\""},
    {"reg-delete-value", true, "", "does not delete values: `\"name\"=-` writes nothing",
     "regedit deletes a value for `\"name\"=-`; the device neither deletes nor writes anything for "
     "it.",
     "\"OldName\"=-", "drop the line (the device has no way to delete a single value)"},
    {"reg-uppercase-type", true, "",
     "reads `dword:` and `hex:` only in lower case: `DWORD:` writes nothing",
     "The types are read in lower case only: `dword:` and `hex:`. `DWORD:` or `HEX:` is no type "
     "the device knows, and the line writes nothing.",
     "\"Flags\"=DWORD:00000001", "\"Flags\"=dword:00000001"},
    {"reg-unknown-type", true, "",
     "writes nothing for a form other than `\"text\"`, `dword:` and `hex:`",
     "The device writes only three forms: `\"text\"`, `dword:XXXXXXXX` and `hex:xx,xx,...`. "
     "Anything else after `=` writes nothing.",
     "\"Count\"=42", "\"Count\"=dword:0000002a"},
    {"reg-typed-hex", true, "", "writes nothing for `hex(2):`, `hex(7):` and the other typed forms",
     "The typed forms of regedit, `hex(2):` (expandable string), `hex(7):` (multi-string) and the "
     "others, are no forms the device writes.",
     "\"Path\"=hex(2):25,00,57,00,00,00", "write the value as a string: \"Path\"=\"%W\""},
    {"reg-escape", true, "",
     "reads no escapes: `\\\\` is stored doubled, and `\\\"` ends the string at that quote",
     "The device reads no escapes. `\\\\` is stored as two backslashes, and `\\\"` ends the string "
     "at that quote. Device paths are written with single backslashes.",
     "\"Path\"=\"\\\\Windows\\\\brand.exe\"", "\"Path\"=\"\\Windows\\brand.exe\""},
    {"reg-name-bytes", true, "",
     "does not decode key and value names from code page 1250: `č` (0xE8) becomes `è`",
     "Key and value names are taken byte for byte as Latin-1 characters, not decoded from code "
     "page 1250 as strings are: `č` (0xE8) becomes `è`, and the name is another.",
     "[HKEY_LOCAL_MACHINE\\Software\\Značka]", "[HKEY_LOCAL_MACHINE\\Software\\Znacka]"},
    {"reg-string-unclosed", false, "",
     "writes a string without its closing quote up to the end of the line",
     "A string without its closing quote is written up to the end of the line. That is often what "
     "was meant, but trailing blanks and comments become part of the value.",
     "\"Name\"=\"Example", "\"Name\"=\"Example\""},
    {"reg-cp1250-undefined", true, "",
     "turns the bytes 0x81, 0x83, 0x88, 0x90, 0x98 of a string into control characters",
     "Strings are decoded from code page 1250, which does not define the bytes 0x81, 0x83, 0x88, "
     "0x90 and 0x98. The device writes invisible control characters in their place.",
     "\"Name\"=\"Ex<0x81>ample\"", "write the string with characters code page 1250 defines"},
    {"reg-utf8", true, "", "decodes a UTF-8 string as code page 1250",
     "Strings are decoded from code page 1250. UTF-8 text comes out as other letters: `Stará` "
     "becomes `StarĂˇ`.",
     "\"Name\"=\"Stará\"   (saved as UTF-8)", "save the script in code page 1250"},
    {"reg-dword-digits", true, "",
     "keeps the last eight of more hexadecimal digits (when the dropped ones are not zeros)",
     "A dword holds eight hexadecimal digits. With more, the device keeps the last eight, and the "
     "number written is another when the dropped digits are not zeros.",
     "\"Size\"=dword:100000000", "\"Size\"=dword:ffffffff   (the largest a dword holds)"},
    {"reg-dword-bad", true, "",
     "reads a number only up to its first non-digit (`dword:0x10` writes 0), or skips a misspelt "
     "`dword:` unexamined",
     "The number after `dword:` is read as hexadecimal up to its first other character: "
     "`dword:0x10` writes 0. A misspelt `dword:` is not examined: its first six characters are "
     "skipped as if they were `dword:`.",
     "\"Size\"=dword:0x10", "\"Size\"=dword:00000010"},
    {"reg-hex-odd", true, "", "drops a lone last hexadecimal digit",
     "Binary data is read in pairs of digits. A lone last digit is dropped, so the data is a byte "
     "short.",
     "\"Blob\"=hex:01,02,3", "\"Blob\"=hex:01,02,03"},
    {"reg-hex-bad", true, "",
     "pairs any two characters into a byte (`hex:1,2` is garbage), or skips a misspelt `hex:` "
     "unexamined",
     "The device pairs any two characters into a byte without checking them, so `hex:1,2` is "
     "garbage. A misspelt `hex:` is not examined: its first four characters are skipped as if they "
     "were `hex:`.",
     "\"Blob\"=hex:1,2", "\"Blob\"=hex:01,02"},
    {"reg-hex-continuation", true, "",
     "reads the line after a trailing `\\` as more data, even a value or header line",
     "A line of binary data ending with a backslash continues on the next line, whatever that line "
     "holds. A value or header line after it is read as more data and never applied.",
     "\"Blob\"=hex:01,02,\\\n"
     "\"Name\"=\"Example\"",
     "\"Blob\"=hex:01,02\n"
     "\"Name\"=\"Example\""},
    {"reg-hex-too-long", true, "", "writes at most 8196 bytes of binary data",
     "The device writes at most 8196 bytes of binary data for one value; the rest is cut.",
     "\"Blob\"=hex:... (10000 bytes)", "keep binary values to 8196 bytes"},
    {"msg-not-utf16", true, "",
     "shows an 8-bit, UTF-8 or big-endian file as UTF-16 little-endian garbage",
     "inst.msg and reboot.msg are read as UTF-16 little-endian text. An 8-bit, UTF-8 or big-endian "
     "file is shown as garbage in the dialog.",
     "inst.msg saved as UTF-8: Install the branding?", "save inst.msg as UTF-16 LE (\"Unicode\")"},
    {"msg-too-long", true, "", "shows only the first 255 characters (254 after a byte-order mark)",
     "The dialog's text holds 255 characters (254 after a byte-order mark). A longer text is cut "
     "there.",
     "reboot.msg with 400 characters of text", "shorten the text to 254 characters"},
    {"msg-empty", true, "",
     "shows an empty dialog for an empty file (its own text only replaces a missing file)",
     "The device's own text replaces only a missing file. An empty inst.msg or reboot.msg shows an "
     "empty dialog.",
     "an inst.msg of 0 bytes (or only a byte-order mark)",
     "write the text, or remove the file to get the device's own"},
    {"file-delivery-empty", true, "",
     "finds nothing to install in an empty delivery, yet runs its steps and restarts",
     "The delivery folder holds nothing: the device has nothing to install. It still runs its "
     "steps, removes the empty staging folder and restarts, which is rarely what was meant; often "
     "the wrong folder was staged.",
     "brandsim lint build/out/   (an empty folder)",
     "lint and stage the folder that holds brand.ini and the files"},
    {"file-name-too-long", true, "",
     "skips a staged file whose source or destination path does not fit 255 characters (it also "
     "stays in the staging folder)",
     "Device paths hold 255 characters. A staged file whose source path in the staging folder or "
     "whose destination does not fit is skipped, never cut, and stays in the staging folder.",
     "a staged file named with 250 characters.gif", "rename the file to a short name"},
    {"file-name-clash", true, "", "holds only one of two names that differ only in case",
     "Device file names ignore case. Two staged names that differ only in case are one name on the "
     "device, which holds only one of the files.",
     "Logo.gif and logo.gif, both staged", "keep one of them"},
    {"file-unused", false, "", "removes at clean-up a file or folder that no step uses",
     "No step uses the file (or folder): no group places it, no entry names it. The clean-up "
     "removes it with the staging folder.",
     "readme.txt staged beside brand.ini",
     "remove the file from the delivery, or give it the extension of the group meant to place it"},
    {"pkg-malformed", true, "",
     "refuses a file that is not a package it can read (no cabinet, no setup manifest, a malformed "
     "manifest, a member missing): nothing of it is installed",
     "The device's package installer refuses a file that is not a package it can read: no cabinet, "
     "no setup manifest, a malformed manifest or a member missing. Nothing of it is installed.",
     "cab0=\"tools.cab\", where tools.cab is a ZIP archive",
     "build the package as a CE cabinet with its setup manifest"},
    {"pkg-unfit", true, "",
     "refuses a package built for another processor, system version, build range or platform (the "
     "`--device` image's `device.ini`, else the default device)",
     "The package installer checks a package's processor, system version, build range and platform "
     "against the device's, and refuses one built for another device.",
     "a package for MIPS on an ARM device, or one needing Windows CE 4.0 on CE 3.0",
     "stage the package built for the device (describe it in DIR/device.ini and lint with --device "
     "DIR)"},
    {"pkg-theme-code", true, "",
     "starts the theme's installer with `/safe`, which refuses a theme carrying executable code (a "
     "setup DLL, self-registering files, `.exe`, `.dll`, `.cpl`, `.ocx`): nothing of the theme is "
     "installed",
     "The theme's installer is started with `/safe`, which refuses a theme that carries executable "
     "code: a setup DLL, self-registering files, `.exe`, `.dll`, `.cpl`, `.ocx`. Nothing of the "
     "theme is installed.",
     "blue.tsk installing \\Windows\\blue.exe",
     "build the theme of images and values only, and ship programs as a package"},
    {"pkg-setup-dll", false, "",
     "runs a package's setup DLL, native code that brandsim does not run: brandsim's results may "
     "differ from the device's",
     "The device runs a package's setup DLL, native code that brandsim does not run. What the DLL "
     "does is not in brandsim's results, so they may differ from the device's.",
     "a package built with a setup DLL",
     "nothing to change when the DLL is meant; test such a package on a device"},
    {"pkg-refused-item", false, "",
     "skips a file, value or shortcut that cannot be placed (a `%CEn%` folder it does not define, "
     "HKEY_USERS, a DWORD without 4 bytes, a path too long)",
     "The package installer skips an item it cannot place: a file for a `%CEn%` folder the device "
     "does not define, a value under HKEY_USERS, a DWORD that is not 4 bytes, a path too long. The "
     "rest of the package is installed.",
     "a file for %CE3%, which this device does not define",
     "place the file under a defined folder, e.g. %CE2% (\\Windows)"},
    {"pkg-file-collision", true, "",
     "moves a staged file to a path where a package (before the fixed groups) or the theme (before "
     "the mapped groups) installed a file: moving never replaces, so the staged file is never "
     "placed",
     "Packages run before the fixed groups, and the theme before the mapped groups. Moving never "
     "replaces a file: a staged file moved to where a package or the theme installed one is never "
     "placed.",
     "one.cab installs \\Windows\\logo.gif, and logo.gif is staged too",
     "install the file in one place only"},
    {"pkg-file-replaced", false, "",
     "installs a file where an earlier package installed one: the later replaces it (unless its "
     "flags keep the earlier one)",
     "Two packages install a file at the same path: the later replaces the earlier (unless its "
     "flags keep the existing file).",
     "one.cab and two.cab both install \\Windows\\a.txt", "install the file from one package only"},
    {"pkg-value-overwritten", false, "",
     "sets a value a package or the theme wrote again from a registry script (the scripts run "
     "later): the package's value is lost",
     "The registry scripts run after the packages and the theme. A value that a script sets again "
     "replaces what the package wrote.",
     "one.cab writes HKEY_LOCAL_MACHINE\\Software\\Brand Name, and brand.reg sets Name too",
     "set the value in one place only"},
    {"pkg-value-removed", false, "",
     "deletes the key (or a key above it) that a package or the theme wrote a value to, from the "
     "removal list (which runs last)",
     "The removal list runs last. A key it deletes (or a key above it) takes with it the values a "
     "package or the theme wrote there.",
     "one.cab writes under HKEY_LOCAL_MACHINE\\Software\\Old\\Sub, and "
     "key0=\"HKEY_LOCAL_MACHINE\\Software\\Old\"",
     "remove only keys the packages do not write to"},
    {"device-file-exists", true, "",
     "never replaces a file: the move fails, its own file stays and the staged one is removed",
     "A move never replaces a file. When the device already holds a file at a staged file's "
     "destination, the move fails, the device keeps its own file and the staged one is removed at "
     "clean-up.",
     "logo.gif staged, and \\Windows\\logo.gif on the device",
     "give the staged file a new name, or remove the device's file first (e.g. from a package)"},
    {"device-folder-missing", true, "",
     "does not create `\\Windows\\Favorites` (or `\\Windows`): the move fails",
     "The device does not create the folders the groups move into (\\Windows\\Favorites, "
     "\\Windows). A move into a folder that does not exist fails.",
     "a staged *.url, on a device without \\Windows\\Favorites",
     "create the folder on the device first (e.g. from a package)"},
    {"device-no-installer", true, "",
     "without `\\Windows\\wceload.exe` installs no package and no theme",
     "Packages and the theme are installed by \\Windows\\wceload.exe. Without it no package and no "
     "theme are installed.",
     "cab0=\"one.cab\" on a device without \\Windows\\wceload.exe",
     "stage for devices that have the package installer"},
    {"device-no-today-key", true, "",
     "skips the theme's registry part without `HKEY_CURRENT_USER\\Software\\Microsoft\\Today`",
     "The theme's registry part (Skin, Wall, WallFile) is written only when "
     "HKEY_CURRENT_USER\\Software\\Microsoft\\Today exists. A script that creates it runs too "
     "late, after the theme step.",
     "[skin] on a device without the Today key",
     "apply the theme on a device with the Today screen"},
    {"device-theme-missing", true, "",
     "starts the theme installer for a file that is neither staged nor on the device",
     "The theme named is neither staged as a *.tsk nor on the device: the theme installer is "
     "started for a file that does not exist.",
     "[skin]\n"
     "skin=\"\\Windows\\none.tsk\"",
     "stage none.tsk, or name a theme the device holds"},
    {"device-key-missing", false, "",
     "has nothing to delete for a listed key that neither it nor a script holds",
     "The device neither holds the key to remove nor does a script of the delivery create it: "
     "there is nothing to delete, often because the path is misspelt.",
     "key0=\"HKEY_LOCAL_MACHINE\\Software\\OldBarnd\"",
     "key0=\"HKEY_LOCAL_MACHINE\\Software\\OldBrand\""},
    {"device-no-restart", false, "",
     "asks for consent and, without `[LENGREBOOT]`, does not restart after a Yes",
     "A device that asks for consent first does not restart after a Yes unless [LENGREBOOT] holds "
     "a reboot entry. The changes then take effect only at the next restart.",
     "brand.ini without [LENGREBOOT], on a device with the consent question",
     "[LENGREBOOT]\n"
     "reboot=\"1\""},
    {"device-restart-held", false, "", "holds the restart back while `CABInst` is 7",
     "The device holds the restart back while HKEY_LOCAL_MACHINE\\SOFTWARE\\Apps CABInst is 7 (and "
     "removes the marker in that run).",
     "CABInst = 7 left on the device by an earlier installation",
     "nothing in the delivery; restart the device by hand after the run"},
    {"lint-more", false, "", "more findings in this file than are shown",
     "A file with more than 200 findings shows the first 200; the rest still count for the exit "
     "status. Such a file is usually not what it is named (a binary file, another encoding).",
     "a brand.ini that is really a ZIP archive", "mend the file's first findings and lint again"},
    {"lint-incomplete", false, "",
     "brand.ini is too large to look every entry up as the device does, or a file is larger than "
     "64 MiB; the rest was not checked",
     "The linter makes every lookup the device makes, each reading brand.ini from its start. For a "
     "huge brand.ini it stops after a budget of bytes read, and says so; the entries beyond were "
     "not checked. Any one pass over a file reads at most its first 64 MiB, so that a sparse or "
     "runaway file costs the linter no more than that.",
     "a brand.ini of 100 MiB", "keep brand.ini small"},
};

const std::size_t kCodeCount = sizeof kCodeTable / sizeof kCodeTable[0];

static_assert(kFileReadBudget == 64ull << 20, "lint-incomplete's text names the budget: 64 MiB");

const CodeInfo* FindCode(const std::string& id) {
  for (const CodeInfo& info : kCodeTable) {
    if (id == info.id) return &info;
  }
  return nullptr;
}

std::string CodeSummary(const CodeInfo& info) {
  std::string text = info.summary;
  if (std::string(info.id).rfind("lint-", 0) == 0) {
    if (!text.empty() && text[0] >= 'a' && text[0] <= 'z')
      text[0] = static_cast<char>(text[0] - 'a' + 'A');
  } else {
    text = "The device " + text;
  }
  return text + ".";
}

std::string CodeHelp(const CodeInfo& info) {
  auto indented = [](const char* text) {
    std::string out = "    ";
    for (const char* p = text; *p != 0; ++p) {
      out += *p;
      if (*p == '\n') out += "    ";
    }
    return out + "\n";
  };
  return std::string(info.explanation) + "\n\nFor example:\n" + indented(info.example) +
         "Instead:\n" + indented(info.fix);
}

}  // namespace lint
