// webmon-check-list: says, before the service starts webmon, what in its list would have webmon
// watch less than the administrator wrote. Run by the units as their ExecStartPre=, as the
// service's own user in its own sandbox, so that "cannot be read" is what webmon will meet.
//
//   webmon-check-list [--show] FILE [NAME]
//
// FILE is read; NAME, when given, is the file the warnings name (the administrator's, when the
// unit hands over a copy, such as one among its credentials); otherwise FILE, through its links.
// Each finding is one line on standard error, at warning priority when that is the journal; a
// good list says nothing. --show also prints, on standard output, the list as webmon reads it:
// its period, then each line from the first address on ("request", "refuse" or "empty").
// Exit status 0 for a list it says nothing of, 1 for one it warns about (the units run it with
// "-": webmon starts all the same, and reads its list as it always does), 2 for a command line
// it does not take. A list above kMostBytes is not read at all (the Debian service hands webmon
// none that large): the check's memory is bounded by that, whatever the file.
//
// Invariants:
//  1. The list is read by webmon's own code (monitor::ReadList, on webmon's runtime and core
//     library), and every address is judged by the fetch's own first step (inet::JudgeAddress):
//     what this says of a list's period, lines and addresses is what webmon does with them.
//  2. Only the file's access (links, folders, owner and mode) is looked at here directly, with
//     the system's calls: that is the service's, not webmon's, and this program is the
//     package's Linux tool, never part of webmon.
//  3. Every byte of a list that is shown is shown as printable ASCII (others as \xHH), so that
//     a warning is text in any journal; an address's password is shown as "***" where the output
//     is the journal, as webmon writes it there.
#include <fcntl.h>
#include <grp.h>
#include <iconv.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "libs/core/conversion.h"
#include "libs/internet/http_session.h"
#include "monitor/list.h"
#include "monitor/program.h"
#include "platform/posix/hide_password.h"
#include "platform/posix/posix_internal.h"
#include "runtime/service_table.h"

namespace {

constexpr int kShownAddresses = 10;  // refused addresses named one by one; the rest counted
constexpr std::size_t kShownBytes = 60;
// The largest list read, and handed to the service (webmon-copy-list): a list of addresses, one
// a line, is far smaller; past it, memory and the service's runtime folder would be the limit.
constexpr long long kMostBytes = 64LL << 20;

std::string g_file;  // what is read, an absolute path
std::string g_name;  // what the warnings name
bool g_show = false;
bool g_readable = false;  // the access check found nothing in the way
bool g_tooLarge = false;  // above kMostBytes: not read
bool g_warned = false;

void Warn(const std::string& text) {
    // journald takes a line's priority from a "<4>" at its start (sd-daemon(3)).
    static const bool journal = plat::posix::IsTheJournal(STDERR_FILENO);
    std::string line = std::string(journal ? "<4>" : "") + "webmon: " + text + "\n";
    std::fputs(line.c_str(), stderr);
    std::fflush(stderr);
    g_warned = true;
}

std::string Shown(const char* bytes, std::size_t n, std::size_t most = kShownBytes) {
    static const char kHex[] = "0123456789abcdef";
    std::string out;
    for (std::size_t i = 0; i < n && i < most; ++i) {
        const auto c = static_cast<unsigned char>(bytes[i]);
        if (c >= 0x20 && c < 0x7F && c != '\\') {
            out += static_cast<char>(c);
        } else {
            out += std::string("\\x") + kHex[c >> 4] + kHex[c & 15];
        }
    }
    return n > most ? out + "..." : out;
}
// A path as a shell command takes it, for the fixes the warnings give: as it is when it holds
// nothing the shell reads specially, else in single quotes ("/etc/webmon/my shop/web.txt").
std::string ForShell(const std::string& path) {
    if (path.find_first_not_of("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789"
                               "/._-+,:@%") == std::string::npos) {
        return path;
    }
    std::string out = "'";
    for (char c : path) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return out + "'";
}

// An address of the list, as Shown, its password as "***" where the output is the journal.
std::string ShownAddress(const char* text, std::size_t most = kShownBytes) {
    static const bool journal =
        plat::posix::IsTheJournal(STDOUT_FILENO) || plat::posix::IsTheJournal(STDERR_FILENO);
    const std::size_t n = text ? std::strlen(text) : 0;
    if (!journal) return Shown(text ? text : "", n, most);
    std::string hidden;
    for (std::size_t at = 0; at < n;) {  // each piece of a line that holds LFs
        const char* end = static_cast<const char*>(std::memchr(text + at, '\n', n - at));
        const std::size_t piece = end ? static_cast<std::size_t>(end - text) + 1 - at : n - at;
        plat::posix::WriteHidingPassword(
            text + at, piece, [&hidden](const char* b, std::size_t k) { hidden.append(b, k); });
        at += piece;
    }
    return Shown(hidden.data(), hidden.size(), most);
}

// ---- Access: what is in the way of the service's user reading the file ------------------------

std::string ModeText(mode_t mode) {
    std::string out = S_ISDIR(mode) ? "d" : S_ISLNK(mode) ? "l" : "-";
    const char* kLetters = "rwxrwxrwx";
    for (int i = 0; i < 9; ++i) out += (mode & (0400 >> i)) ? kLetters[i] : '-';
    return out;
}

std::string OwnerText(const struct stat& st) {
    const passwd* user = getpwuid(st.st_uid);
    const group* grp = getgrgid(st.st_gid);
    return "owner " + (user ? std::string(user->pw_name) : std::to_string(st.st_uid)) + ", group " +
           (grp ? std::string(grp->gr_name) : std::to_string(st.st_gid));
}

std::string Folder(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    return slash == 0 || slash == std::string::npos ? "/" : path.substr(0, slash);
}

std::string UserText() { return "the service's user (uid " + std::to_string(getuid()) + ")"; }

// The first folder on the way to path that the user cannot enter, or "".
std::string BlockingFolder(const std::string& path) {
    for (std::size_t at = path.find('/', 1); at != std::string::npos; at = path.find('/', at + 1)) {
        const std::string folder = path.substr(0, at);
        if (access(folder.c_str(), X_OK) != 0) return folder;
    }
    return "";
}

// A folder that a sandbox hides: systemd mounts an inaccessible folder (mode 000) over it.
bool HiddenBySandbox(const std::string& folder) {
    struct stat st {
    }, parent{};
    return stat(folder.c_str(), &st) == 0 && (st.st_mode & 07777) == 0 &&
           stat(Folder(folder).c_str(), &parent) == 0 && parent.st_dev != st.st_dev;
}

// The warning for a file that cannot be reached; link and target name the last link followed
// on the way, when there was one.
std::string Unreachable(const std::string& path, int error, const std::string& link,
                        const std::string& target) {
    const std::string list =
        link.empty() ? "the list " + g_name : "the list " + link + " is a link to " + target + ",";
    const std::string which = link.empty() ? list : list + " which";
    const std::string nothing = ": webmon requests nothing";
    if (error == ENOENT || error == ENOTDIR) {
        if (link.empty()) {
            return list + " does not exist" + nothing +
                   ". An example: /usr/share/doc/webmon/examples/web.txt";
        }
        const bool ownTmp = target.rfind("/tmp/", 0) == 0 || target.rfind("/var/tmp/", 0) == 0;
        return which + " does not exist" +
               (ownTmp
                    ? " (for the service, /tmp and /var/tmp are its own: keep the list elsewhere)"
                    : "") +
               nothing;
    }
    const std::string folder = error == EACCES ? BlockingFolder(path) : "";
    if (!folder.empty() && HiddenBySandbox(folder)) {
        return list + (link.empty() ? " is" : "") + " in the folder " + folder +
               ", which the service's sandbox hides" + nothing +
               ". Keep the list where the service can read it (under /etc/webmon)";
    }
    if (!folder.empty()) {
        struct stat st {};
        const std::string what = stat(folder.c_str(), &st) == 0
                                     ? " (" + ModeText(st.st_mode) + ", " + OwnerText(st) + ")"
                                     : "";
        return which + " cannot be read by " + UserText() + ": the folder " + folder + what +
               " cannot be entered" + nothing;
    }
    return which + " cannot be read by " + UserText() + ": " + std::strerror(error) + nothing;
}

// Follows FILE's links one by one and opens it as webmon will; a warning for whatever is in the
// way. Names the file webmon reads (through its links) when no NAME was given.
void CheckAccess(bool named) {
    std::string path = g_file, link, target;
    struct stat st {};
    for (int hops = 0;; ++hops) {
        if (lstat(path.c_str(), &st) != 0) {
            Warn(Unreachable(path, errno, link, target));
            return;
        }
        if (!S_ISLNK(st.st_mode) || hops == 40) break;
        std::vector<char> buffer(PATH_MAX + 1);
        const ssize_t n = readlink(path.c_str(), buffer.data(), PATH_MAX);
        if (n < 0) break;
        std::string next(buffer.data(), static_cast<std::size_t>(n));
        if (next.empty() || next[0] != '/') next = Folder(path) + "/" + next;
        link = path;
        target = next;
        path = next;
    }
    if (!named) {
        char* real = realpath(g_file.c_str(), nullptr);
        if (real) g_name = real;
        std::free(real);
    }
    if (S_ISDIR(st.st_mode)) {
        Warn("the list " + g_name + " is a folder, not a file: webmon requests nothing");
        return;
    }
    if (!S_ISREG(st.st_mode)) {
        Warn("the list " + g_name + " is not a regular file: webmon requests nothing");
        return;
    }
    const int fd = open(g_file.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        const int error = errno;
        stat(path.c_str(), &st);
        Warn("the list " + g_name + " cannot be read by " + UserText() + ": " +
             std::strerror(error) + " (" + ModeText(st.st_mode) + ", " + OwnerText(st) +
             "): webmon requests nothing (webmon(1) says how to keep a list private)");
        return;
    }
    close(fd);
    if (st.st_size > kMostBytes) {
        Warn("the list " + g_name + " is " + std::to_string(st.st_size) +
             " bytes, more than a list may be (64 MiB, " + std::to_string(kMostBytes) +
             " bytes): it is not read here. The Debian package's service hands webmon an empty "
             "list in its place, so webmon requests nothing; webmon started from its own folder "
             "reads it whole all the same. Keep the list under 64 MiB");
        g_tooLarge = true;
        return;
    }
    if (st.st_size == 0) {
        Warn("the list " + g_name +
             " is empty: webmon requests nothing until an address is written in it");
        return;
    }
    g_readable = true;
}

// ---- Content: what webmon's reading makes of the bytes ----------------------------------------

// UTF-16's name for iconv when the bytes are UTF-16 text (with its byte order mark, or ASCII
// text with every other byte zero), else null.
const char* Utf16(const unsigned char* b, std::int32_t n) {
    if (n >= 2 && ((b[0] == 0xFF && b[1] == 0xFE) || (b[0] == 0xFE && b[1] == 0xFF))) {
        return "UTF-16";
    }
    int evenZeros = 0, oddZeros = 0;
    const std::int32_t looked = n < 512 ? n & ~1 : 512;
    for (std::int32_t i = 0; i < looked; ++i) {
        if (b[i] == 0) ++(i % 2 ? oddZeros : evenZeros);
    }
    if (looked == 0) return nullptr;
    if (evenZeros == 0 && oddZeros * 2 >= looked / 2) return "UTF-16LE";
    if (oddZeros == 0 && evenZeros * 2 >= looked / 2) return "UTF-16BE";
    return nullptr;
}

const char* Line(const monitor::ListReading& list, std::int32_t index) {
    return rt::CheckedTextElement(list.lines, index);
}

// Whether the n bytes are text in charset (iconv's name); with out, its characters appended.
bool IsText(const char* charset, const char* bytes, std::size_t n, std::u32string* out = nullptr) {
    iconv_t cd = iconv_open("UTF-32LE", charset);
    if (cd == reinterpret_cast<iconv_t>(-1)) return false;
    char* in = const_cast<char*>(bytes);
    bool whole = true;
    while (n > 0 && whole) {
        char32_t chunk[256];
        char* to = reinterpret_cast<char*>(chunk);
        std::size_t room = sizeof chunk;
        whole = iconv(cd, &in, &n, &to, &room) != static_cast<std::size_t>(-1) || errno == E2BIG;
        if (out) out->append(chunk, (sizeof chunk - room) / sizeof(char32_t));
    }
    iconv_close(cd);
    return whole;
}

// RFC 3492's Punycode of a label (the part of an "xn--" label after the prefix).
std::string Punycode(const std::u32string& label) {
    constexpr std::uint32_t kBase = 36, kTMin = 1, kTMax = 26;
    std::string out;
    for (char32_t c : label) {
        if (c < 0x80) out += static_cast<char>(c);
    }
    const std::size_t basic = out.size();
    if (basic > 0) out += '-';
    auto digit = [](std::uint32_t d) { return static_cast<char>(d < 26 ? 'a' + d : '0' + d - 26); };
    std::uint32_t next = 0x80, delta = 0, bias = 72;
    for (std::size_t handled = basic; handled < label.size(); ++delta, ++next) {
        std::uint32_t least = UINT32_MAX;
        for (char32_t c : label) {
            if (c >= next && c < least) least = c;
        }
        delta += (least - next) * static_cast<std::uint32_t>(handled + 1);
        next = least;
        for (char32_t c : label) {
            if (c < next) ++delta;
            if (c != next) continue;
            std::uint32_t q = delta;
            for (std::uint32_t k = kBase;; k += kBase) {
                const std::uint32_t t = k <= bias ? kTMin : k >= bias + kTMax ? kTMax : k - bias;
                if (q < t) break;
                out += digit(t + (q - t) % (kBase - t));
                q = (q - t) / (kBase - t);
            }
            out += digit(q);
            // Bias adaptation (RFC 3492, 6.1).
            delta = handled == basic ? delta / 700 : delta / 2;
            delta += delta / static_cast<std::uint32_t>(++handled);
            std::uint32_t k = 0;
            for (; delta > (kBase - kTMin) * kTMax / 2; k += kBase) delta /= kBase - kTMin;
            bias = k + (kBase - kTMin + 1) * delta / (delta + 38);
            delta = 0;
        }
    }
    return out;
}

// A host that is not ASCII in the form a name server knows: each label that is not ASCII as
// "xn--" and its Punycode. Its bytes are read as UTF-8 when they are that, else as GBK; "" when
// they are neither.
std::string AsciiHost(const std::string& host) {
    std::u32string text;
    if (!IsText("UTF-8", host.data(), host.size(), &text)) {
        text.clear();
        if (!IsText("GBK", host.data(), host.size(), &text)) return "";
    }
    std::string out;
    for (std::size_t at = 0; at <= text.size();) {
        const std::size_t dot = std::min(text.find(U'.', at), text.size());
        std::u32string label = text.substr(at, dot - at);
        bool ascii = true;
        for (char32_t& c : label) {
            if (c >= U'A' && c <= U'Z') c += U'a' - U'A';
            ascii = ascii && c < 0x80;
        }
        out += ascii ? std::string(label.begin(), label.end()) : "xn--" + Punycode(label);
        if (dot < text.size()) out += '.';
        at = dot + 1;
    }
    return out;
}

// Line 1 written as a number: blanks, a sign, digits with one '.' among them, blanks (GBK's
// full-width forms read as ASCII, as webmon reads a period). *fraction: digits after the '.'.
bool IsNumber(const char* line, bool* fraction) {
    std::string folded;
    for (const auto* p = reinterpret_cast<const unsigned char*>(line); *p; ++p) {
        const unsigned char ascii = p[0] >= 0x80 && p[1] ? core::FoldPair(p[0], p[1]) : 0;
        folded += static_cast<char>(ascii ? ascii : *p);
        p += ascii ? 1 : 0;
    }
    const std::size_t start = folded.find_first_not_of(" \t");
    if (start == std::string::npos) return false;
    std::string number = folded.substr(start, folded.find_last_not_of(" \t") + 1 - start);
    if (number[0] == '+' || number[0] == '-') number.erase(0, 1);
    const std::size_t point = number.find('.');
    const std::string whole = number.substr(0, point);
    const std::string part = point == std::string::npos ? "" : number.substr(point + 1);
    auto digits = [](const std::string& t) {
        return t.find_first_not_of("0123456789") == std::string::npos;
    };
    *fraction = part.find_first_not_of('0') != std::string::npos;
    return digits(whole) && digits(part) && !(whole + part).empty();
}

// What webmon reads, in a few words: its period and addresses.
std::string Reads(const monitor::ListReading& list) {
    if (!list.text) return "nothing at all (it counts as empty)";
    std::string out = list.firstAddressLine == 2
                          ? "the period " + std::to_string(list.period) + " s"
                          : "the period 60 s (line 1 is no number above 0)";
    std::int32_t addresses = 0;
    const char* first = nullptr;
    for (std::int32_t i = list.firstAddressLine; i <= list.lineCount; ++i) {
        if (const char* line = Line(list, i)) {
            if (!first) first = line;
            ++addresses;
        }
    }
    if (addresses == 0) return out + " and no address";
    return out +
           (addresses == 1 ? " and one address, \""
                           : " and " + std::to_string(addresses) + " addresses, the first \"") +
           ShownAddress(first) + "\"";
}

// Why webmon never requests address, and what to write instead.
std::string Refusal(const char* address, inet::AddressUse use) {
    const std::string text = address;
    std::size_t scheme = 0;
    while (scheme < text.size() && (std::isalnum(static_cast<unsigned char>(text[scheme])) ||
                                    std::strchr("+-.", text[scheme]))) {
        ++scheme;
    }
    const bool colon = scheme > 0 && scheme < text.size() && text[scheme] == ':';
    const bool port = colon && scheme + 1 < text.size() &&
                      std::isdigit(static_cast<unsigned char>(text[scheme + 1]));
    const std::string only = " (webmon requests http:// and https:// addresses only)";
    if (use == inet::AddressUse::Unfit) return "it holds a CR that ends no line";
    if (use == inet::AddressUse::NoHost) {
        return "it names no host (an address is written http://HOST/PATH)";
    }
    if (!text.empty() && (text[0] == ' ' || text[0] == '\t')) {
        return "it starts with a blank, before its scheme: remove the blank";
    }
    if (!colon || port || !std::isalpha(static_cast<unsigned char>(text[0]))) {
        return "it has no scheme" + only + ": write http://" + ShownAddress(address);
    }
    if (use == inet::AddressUse::SchemeNotFetched) {
        return "its scheme " + text.substr(0, scheme) + ": is not one webmon fetches" + only;
    }
    return "it cannot be read as an address (its port, or a part too long)";
}

void CheckContent(const monitor::ListReading& list, rt::BinValue bytes) {
    const auto* b = rt::BinBytes(bytes);
    const std::int32_t n = rt::BinLength(bytes);
    if (n == 0) {
        Warn("the list " + g_name +
             " gave webmon nothing just now (another program may have it "
             "open for writing): webmon requests nothing until it starts again");
        return;
    }
    if (const char* utf16 = Utf16(b, n)) {
        Warn("the list " + g_name + " is " + utf16 +
             " text (as Notepad saves \"Unicode\"), which webmon does not read: it stops at the "
             "first zero byte and reads " +
             Reads(list) + ". To convert it: iconv -f " + utf16 + " -t GBK " + ForShell(g_name) +
             " > " + ForShell(g_name + ".gbk") + " && mv " + ForShell(g_name + ".gbk") + " " +
             ForShell(g_name));
        return;
    }
    const void* zero = std::memchr(b, 0, static_cast<std::size_t>(n));
    bool said = false;
    if (zero == b) {
        Warn("the list " + g_name +
             " starts with a zero byte: webmon reads it as empty and requests nothing. To "
             "remove the zero bytes: sed -i 's/\\x00//g' " +
             ForShell(g_name));
        return;
    }
    if (zero) {
        const auto at = static_cast<const unsigned char*>(zero) - b;
        // Lines as the file holds them: the zero byte's, and how many in all.
        int line = 1, lines = 1;
        for (std::int32_t i = 0; i + 1 < n; ++i) {
            const bool end = b[i] == '\r' && b[i + 1] == '\n';
            line += end && i < at;
            lines += end && i + 2 < n;
        }
        Warn("the list " + g_name + " holds a zero byte at byte " + std::to_string(at) +
             ", on line " + std::to_string(line) + " of " + std::to_string(lines) +
             ": webmon reads no further, so line " + std::to_string(line) +
             " is cut there and the " + std::to_string(lines - line) +
             " line(s) after it are not watched; it reads " + Reads(list) +
             ". To remove the zero bytes: sed -i 's/\\x00//g' " + ForShell(g_name));
        said = true;
    }

    // LFs inside a line: alone, or after a CR that webmon read as the second byte of a GBK
    // character (a UTF-8 letter's last byte and the CR make one), joining the line to the next.
    int bare = 0, joined = 0;
    for (std::int32_t i = 1; i <= list.lineCount; ++i) {
        const char* line = Line(list, i);
        for (const char* p = line; p && *p; ++p) {
            if (*p == '\n') ++(p > line && p[-1] == '\r' ? joined : bare);
        }
    }
    if (joined > 0) {
        const auto* text = reinterpret_cast<const char*>(b);
        const bool bom = n >= 3 && std::memcmp(text, "\xEF\xBB\xBF", 3) == 0;
        const std::string gbk = ForShell(g_name + ".gbk");
        Warn(std::to_string(joined) + " line(s) of the list " + g_name +
             " end in a letter whose last byte webmon reads together with the CR as one GBK "
             "character, so it reads each with the line after it as one line: the list is " +
             (IsText("UTF-8", text, static_cast<std::size_t>(n))
                  ? "UTF-8, not GBK. To convert it: " +
                        (bom ? "tail -c +4 " + ForShell(g_name) + " | iconv -f UTF-8 -t GBK > "
                             : "iconv -f UTF-8 -t GBK " + ForShell(g_name) + " > ") +
                        gbk + " && mv " + gbk + " " + ForShell(g_name)
                  : "not GBK: save it as GBK"));
        said = true;
    }
    if (bare > 0) {
        std::string instead;
        if (list.lineCount <= 1) {
            instead =
                list.firstAddressLine == 2
                    ? "the whole file as one line, its period " + std::to_string(list.period) +
                          " s, and no address at all"
                    : "the whole file as one address (\"" + ShownAddress(Line(list, 1)) + "\")";
        } else {
            instead = "each run of such lines as one line";
        }
        Warn(std::to_string(bare) + " line(s) of the list " + g_name +
             " end with LF alone, not CR LF: webmon reads " + instead +
             ". To fix: sed -i -e 's/\\r*$/\\r/' -e '$a\\' " + ForShell(g_name));
        said = true;
    }

    // A period that is no whole number above 0: webmon reads 0.5 or -5 as an address, 1.5 as 1.
    bool fraction = false;
    const char* first = Line(list, 1);
    const bool period = first && !std::strchr(first, '\n') && IsNumber(first, &fraction);
    if (period && (list.firstAddressLine == 1 || fraction)) {
        Warn("the list " + g_name + ", line 1: the period \"" + ShownAddress(first) +
             "\" is no whole number of seconds above 0: webmon " +
             (list.firstAddressLine == 1
                  ? "reads it as an address, which it never requests, and waits 60 s"
                  : "waits " + std::to_string(list.period) + " s") +
             " between passes. Write the period as a whole number of seconds, 1 or more (30)");
        said = true;
    }

    int addresses = 0, refused = 0, foreign = 0;
    for (std::int32_t i = list.firstAddressLine; i <= list.lineCount; ++i) {
        const char* line = Line(list, i);
        if (!line) continue;
        ++addresses;
        inet::Target target;
        const inet::AddressUse use = inet::JudgeAddress(line, &target);
        if (std::strchr(line, '\n')) continue;  // the LF warning said it
        if (i == 1 && period) {
            --addresses;  // the period's warning said it
            continue;
        }
        const std::string host = target.host;
        if (use == inet::AddressUse::Requested &&
            std::any_of(host.begin(), host.end(), [](char c) { return c & 0x80; })) {
            if (++foreign > kShownAddresses) continue;
            const std::string ascii = AsciiHost(host);
            Warn("the list " + g_name + ", line " + std::to_string(i) + ": the host of \"" +
                 ShownAddress(line) +
                 "\" is not ASCII: webmon sends its bytes as they are, which no name server "
                 "knows. Write it in its xn-- form" +
                 (ascii.empty() ? " (IDNA)" : ", " + ascii));
            continue;
        }
        if (use == inet::AddressUse::Requested) continue;
        if (++refused <= kShownAddresses) {
            Warn("the list " + g_name + ", line " + std::to_string(i) +
                 ": webmon never requests \"" + ShownAddress(line) + "\": " + Refusal(line, use));
        }
    }
    if (foreign > kShownAddresses) {
        Warn("the list " + g_name + ": " + std::to_string(foreign - kShownAddresses) +
             " more address(es) whose host is not ASCII");
    }
    if (refused > kShownAddresses) {
        Warn("the list " + g_name + ": " + std::to_string(refused - kShownAddresses) +
             " more address(es) that webmon never requests");
    }
    if (addresses == 0 && !said) {
        Warn("the list " + g_name +
             " holds no address: webmon requests nothing until one is written in it");
    }
}

void Show(const monitor::ListReading& list) {
    if (!list.text) {
        std::puts("empty");
        return;
    }
    std::printf("period %d\n", list.period);
    for (std::int32_t i = list.firstAddressLine; i <= list.lineCount; ++i) {
        const char* line = Line(list, i);
        inet::Target target;
        if (!line) {
            std::printf("line %d empty\n", i);
        } else {
            const bool requested = inet::JudgeAddress(line, &target) == inet::AddressUse::Requested;
            std::printf("line %d %s %s\n", i, requested ? "request" : "refuse",
                        ShownAddress(line, SIZE_MAX).c_str());
        }
    }
}

// Runs on webmon's runtime, as webmon's start-up routine does.
std::int32_t CheckEntry() {
    rt::kServices.notify(rt::kNotifyInitRuntime, 0, 0, 0, 0);
    // webmon's file calls take a backslash for a folder separator, as Windows does: a FILE with
    // one in a name (an instance's folder may have it) is read through a descriptor of its own,
    // so that what is read is the file named.
    const bool backslash = g_file.find('\\') != std::string::npos;
    const int fd = backslash ? open(g_file.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK) : -1;
    const std::string read = !backslash ? g_file
                             : fd < 0   ? ""
                                        : "/proc/self/fd/" + std::to_string(fd);
    rt::BinValue bytes = nullptr;
    monitor::ListReading list =
        g_tooLarge ? monitor::ListReading{} : monitor::ReadList(read.c_str(), &bytes);
    if (fd >= 0) close(fd);
    if (g_readable) CheckContent(list, bytes);
    if (g_show) Show(list);
    std::fflush(stdout);
    rt::kServices.free(bytes);
    rt::kServices.free(list.text);
    rt::FreeArray(rt::kTagText, list.lines);
    if (g_warned) rt::kServices.exit(1);
    rt::kServices.endProgram();
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    if (!args.empty() && args[0] == "--show") {
        g_show = true;
        args.erase(args.begin());
    }
    if (args.empty() || args.size() > 2 || args[0].empty() || args[0][0] == '-') {
        std::fputs("usage: webmon-check-list [--show] FILE [NAME]\n", stderr);
        return 2;
    }
    g_file = args[0];
    if (g_file[0] != '/') {
        char* here = getcwd(nullptr, 0);
        g_file = std::string(here ? here : "") + "/" + g_file;
        std::free(here);
    }
    g_name = args.size() == 2 ? args[1] : g_file;
    CheckAccess(args.size() == 2);
    rt::RunProgram(monitor::kProgramHeader, CheckEntry);
}
