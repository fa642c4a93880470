#include "platform/PropertyList.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>
#include <plist/plist.h>
#include <string.h>
#include <utility>
#include <vector>

namespace {

struct FreeDeleter {
    void operator()(void* p) const noexcept { std::free(p); }
};
using CString = std::unique_ptr<char, FreeDeleter>;

plist_t nodeOf(void* p) {
    return static_cast<plist_t>(p);
}

bool isXmlSpace(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}

// libplist's XML without the white space between elements. Text inside <key> and
// <string> is kept as it is (libplist escapes every '<' in it); the base64 text
// of <data> loses its line breaks and indentation, which its reader skips.
QByteArray compactXml(const char* xml, std::uint32_t length) {
    QByteArray out;
    out.reserve(static_cast<qsizetype>(length));
    const char* p = xml;
    const char* const end = xml + length;
    while (p < end) {
        if (*p != '<') {
            if (!isXmlSpace(*p)) {
                out.append(*p);
            }
            ++p;
            continue;
        }
        const char* tagEnd = static_cast<const char*>(std::memchr(p, '>', static_cast<std::size_t>(end - p)));
        if (tagEnd == nullptr) {
            out.append(p, end - p);
            break;
        }
        const QByteArray tag(p, tagEnd + 1 - p);
        out.append(tag);
        p = tagEnd + 1;
        const bool keepText = tag == "<key>" || tag == "<string>";
        if (!keepText && tag != "<data>") {
            continue;
        }
        const QByteArray close = "</" + tag.mid(1);
        const char* text = p;
        const QByteArrayView rest(text, end - text);
        const qsizetype at = rest.indexOf(close);
        const char* textEnd = at < 0 ? end : text + at;
        if (keepText) {
            out.append(text, textEnd - text);
        } else {
            for (const char* c = text; c < textEnd; ++c) {
                if (!isXmlSpace(*c)) {
                    out.append(*c);
                }
            }
        }
        p = textEnd;
    }
    return out;
}

// The most values a binary file may unfold into: as many as its size cap has
// bytes, far more than any settings file holds.
constexpr std::uint64_t kMaxBinaryValues = 64 * 1024;
// The deepest nesting of a binary file. A binary file is read through XML
// (fromData), which indents every level: a chain thousands deep would make
// hundreds of megabytes of tabs.
constexpr std::uint32_t kMaxBinaryDepth = 1000;

std::uint64_t bigEndian(const unsigned char* p, std::size_t bytes) {
    std::uint64_t value = 0;
    for (std::size_t i = 0; i < bytes; ++i) {
        value = (value << 8) | p[i];
    }
    return value;
}

// Whether a binary property list unfolds into at most kMaxBinaryValues values
// and nests at most kMaxBinaryDepth deep. libplist makes a copy of a value for every
// reference to it, so a file of a few hundred bytes whose arrays refer to one
// another twice per level unfolds into billions of values and never finishes
// loading. Counts references the same way, without building anything; a
// structure that cannot be walked (bad offsets, a cycle) is refused as well.
bool binaryUnfoldsWithinLimits(const QByteArray& data) {
    const auto* bytes = reinterpret_cast<const unsigned char*>(data.constData());
    const auto size = static_cast<std::uint64_t>(data.size());
    constexpr std::uint64_t kHeader = 8;
    constexpr std::uint64_t kTrailer = 32;
    if (size < kHeader + kTrailer) {
        return false;
    }
    const unsigned char* trailer = bytes + size - kTrailer;
    const std::size_t offsetSize = trailer[6];
    const std::size_t refSize = trailer[7];
    const std::uint64_t objects = bigEndian(trailer + 8, 8);
    const std::uint64_t top = bigEndian(trailer + 16, 8);
    const std::uint64_t table = bigEndian(trailer + 24, 8);
    if (offsetSize < 1 || offsetSize > 8 || refSize < 1 || refSize > 8 || objects == 0 || objects > size ||
        top >= objects || table > size - kTrailer || (size - kTrailer - table) / offsetSize < objects) {
        return false;
    }
    auto offsetOf = [&](std::uint64_t object) { return bigEndian(bytes + table + object * offsetSize, offsetSize); };
    // The references of a container object, or none for any other kind.
    auto children = [&](std::uint64_t object, std::vector<std::uint64_t>& out) {
        out.clear();
        std::uint64_t at = offsetOf(object);
        if (at < kHeader || at >= table) {
            return false;
        }
        const unsigned marker = bytes[at++];
        const unsigned kind = marker & 0xf0;
        if (kind != 0xa0 && kind != 0xc0 && kind != 0xd0) {
            return true;
        }
        std::uint64_t count = marker & 0x0f;
        if (count == 0x0f) { // the count follows as an integer object
            if (at >= table || (bytes[at] & 0xf0) != 0x10 || (bytes[at] & 0x0f) > 3) {
                return false;
            }
            const std::size_t countSize = std::size_t{1} << (bytes[at] & 0x0f);
            if (table - at - 1 < countSize) {
                return false;
            }
            count = bigEndian(bytes + at + 1, countSize);
            at += 1 + countSize;
        }
        const std::uint64_t refs = kind == 0xd0 ? count * 2 : count;
        if (count > table || (table - at) / refSize < refs) {
            return false;
        }
        for (std::uint64_t i = 0; i < refs; ++i) {
            const std::uint64_t ref = bigEndian(bytes + at + i * refSize, refSize);
            if (ref >= objects) {
                return false;
            }
            out.push_back(ref);
        }
        return true;
    };
    // Unfolded sizes, depth first without recursion (a chain may be thousands deep).
    enum : std::uint8_t { New, Open, Done };
    std::vector<std::uint8_t> state(objects, New);
    std::vector<std::uint64_t> unfolded(objects, 0);
    std::vector<std::uint32_t> height(objects, 0);
    std::vector<std::pair<std::uint64_t, std::vector<std::uint64_t>>> stack;
    std::vector<std::uint64_t> refs;
    auto open = [&](std::uint64_t object) {
        if (!children(object, refs)) {
            return false;
        }
        state[object] = Open;
        stack.emplace_back(object, refs);
        return true;
    };
    if (!open(top)) {
        return false;
    }
    while (!stack.empty()) {
        auto& [object, pending] = stack.back();
        if (pending.empty()) {
            std::uint64_t total = 1;
            std::uint32_t levels = 1;
            if (children(object, refs)) {
                for (const std::uint64_t child : refs) {
                    total = std::min(total + unfolded[child], kMaxBinaryValues + 1);
                    levels = std::max(levels, height[child] + 1);
                }
            }
            unfolded[object] = total;
            height[object] = levels;
            state[object] = Done;
            stack.pop_back();
            if (total > kMaxBinaryValues || levels > kMaxBinaryDepth) {
                return false;
            }
            continue;
        }
        const std::uint64_t child = pending.back();
        pending.pop_back();
        if (state[child] == Open) {
            return false; // a cycle
        }
        if (state[child] == New && !open(child)) {
            return false;
        }
    }
    return unfolded[top] <= kMaxBinaryValues;
}

// Whether XML text holds a NUL character, as a byte or as a character reference
// (&#0; &#x00; ...).
bool holdsNul(const QByteArray& xml) {
    if (xml.contains('\0')) {
        return true;
    }
    for (qsizetype at = xml.indexOf("&#"); at >= 0; at = xml.indexOf("&#", at + 2)) {
        qsizetype i = at + 2;
        if (i < xml.size() && (xml[i] == 'x' || xml[i] == 'X')) {
            ++i;
        }
        const qsizetype digits = i;
        while (i < xml.size() && xml[i] == '0') {
            ++i;
        }
        if (i > digits && i < xml.size() && xml[i] == ';') {
            return true;
        }
    }
    return false;
}

} // namespace

void PropertyList::NodeFree::operator()(void* node) const noexcept {
    plist_free(nodeOf(node));
}

PropertyList::PropertyList(const PropertyList& other)
    : node_(other.node_ != nullptr ? plist_copy(nodeOf(other.node_.get())) : nullptr) {}

PropertyList& PropertyList::operator=(const PropertyList& other) {
    if (this != &other) {
        // Copy first: the old node is freed only once the copy exists.
        node_.reset(other.node_ != nullptr ? plist_copy(nodeOf(other.node_.get())) : nullptr);
    }
    return *this;
}

PropertyList PropertyList::dictionary() {
    return PropertyList(Node(plist_new_dict()));
}

PropertyList PropertyList::fromData(const QByteArray& data, QString* error) {
    auto fail = [error](const char* reason) {
        if (error != nullptr) {
            *error = QString::fromUtf8(reason);
        }
        return PropertyList();
    };
    if (data.isEmpty()) {
        return fail("empty file");
    }
    if (data.size() > std::numeric_limits<std::uint32_t>::max()) {
        return fail("file too large");
    }
    const bool binary = data.startsWith("bplist00");
    if (binary && !binaryUnfoldsWithinLimits(data)) {
        return fail("a binary property list that unfolds into too many values, or a broken one");
    }
    // Vessik writes XML, so it reads every file as XML: a binary file through its
    // XML form, so that a write-back never changes what it means. (libplist's
    // binary reader keeps both entries of a key that a dictionary holds twice,
    // and lookups find the first; its XML reader keeps the last.)
    QByteArray xml = data;
    if (binary) {
        plist_t parsed = nullptr;
        plist_from_bin(data.constData(), static_cast<std::uint32_t>(data.size()), &parsed);
        const Node fromBinary(parsed);
        if (fromBinary == nullptr) {
            return fail("not a property list");
        }
        char* text = nullptr;
        std::uint32_t length = 0;
        plist_to_xml(nodeOf(fromBinary.get()), &text, &length);
        xml = QByteArray(text, text != nullptr ? qsizetype{length} : 0);
        plist_to_xml_free(text);
    }
    // A NUL character does not survive a write-back (libplist reads zeros after
    // it), and in a key it fails an assertion, ending the program, when the
    // dictionary is walked.
    if (holdsNul(xml)) {
        return fail("a text holds a NUL character");
    }
    plist_t parsed = nullptr;
    plist_from_xml(xml.constData(), static_cast<std::uint32_t>(xml.size()), &parsed);
    Node root(parsed);
    if (root == nullptr) {
        return fail("not a property list");
    }
    if (plist_get_node_type(nodeOf(root.get())) != PLIST_DICT) {
        return fail("the root of the property list is not a dictionary");
    }
    return PropertyList(std::move(root));
}

QByteArray PropertyList::toXml(QString* error, XmlLayout layout) const {
    if (node_ == nullptr) {
        if (error != nullptr) {
            *error = QStringLiteral("no dictionary");
        }
        return {};
    }
    char* xml = nullptr;
    std::uint32_t length = 0;
    plist_to_xml(nodeOf(node_.get()), &xml, &length);
    if (xml == nullptr || length == 0) {
        if (error != nullptr) {
            *error = QStringLiteral("the dictionary cannot be serialised");
        }
        plist_to_xml_free(xml);
        return {};
    }
    QByteArray out = layout == XmlLayout::Compact ? compactXml(xml, length) : QByteArray(xml, qsizetype{length});
    plist_to_xml_free(xml);
    return out;
}

void* PropertyList::find(const QString& key) const {
    if (node_ == nullptr) {
        return nullptr;
    }
    return plist_dict_get_item(nodeOf(node_.get()), key.toUtf8().constData());
}

bool PropertyList::contains(const QString& key) const {
    return find(key) != nullptr;
}

QStringList PropertyList::keys() const {
    QStringList result;
    if (node_ == nullptr) {
        return result;
    }
    plist_dict_iter it = nullptr;
    plist_dict_new_iter(nodeOf(node_.get()), &it);
    std::unique_ptr<void, FreeDeleter> iterOwner(it);
    for (;;) {
        char* rawKey = nullptr;
        plist_t value = nullptr;
        plist_dict_next_item(nodeOf(node_.get()), it, &rawKey, &value);
        CString key(rawKey);
        if (key == nullptr) {
            break;
        }
        result.append(QString::fromUtf8(key.get()));
    }
    return result;
}

int PropertyList::count() const {
    return node_ != nullptr ? static_cast<int>(plist_dict_get_size(nodeOf(node_.get()))) : 0;
}

std::optional<QString> PropertyList::stringValue(const QString& key) const {
    plist_t value = nodeOf(find(key));
    if (value == nullptr || plist_get_node_type(value) != PLIST_STRING) {
        return std::nullopt;
    }
    std::uint64_t length = 0;
    const char* text = plist_get_string_ptr(value, &length);
    return QString::fromUtf8(text, static_cast<qsizetype>(length));
}

std::int64_t PropertyList::integerValueOfText(const QString& text) {
    qsizetype i = 0;
    const qsizetype n = text.size();
    while (i < n && text.at(i).isSpace()) {
        ++i;
    }
    bool negative = false;
    if (i < n && (text.at(i) == u'+' || text.at(i) == u'-')) {
        negative = text.at(i) == u'-';
        ++i;
    }
    // Accumulate as a negative number so that the minimum fits, then saturate.
    constexpr std::int64_t min = std::numeric_limits<std::int64_t>::min();
    constexpr std::int64_t max = std::numeric_limits<std::int64_t>::max();
    std::int64_t value = 0;
    bool overflow = false;
    for (; i < n && text.at(i) >= u'0' && text.at(i) <= u'9'; ++i) {
        const int digit = text.at(i).unicode() - u'0';
        if (value < (min + digit) / 10) {
            overflow = true;
            continue;
        }
        value = value * 10 - digit;
    }
    if (negative) {
        return overflow ? min : value;
    }
    if (overflow || value == min) {
        return max;
    }
    return -value;
}

std::int64_t PropertyList::integerValue(const QString& key) const {
    plist_t value = nodeOf(find(key));
    if (value == nullptr) {
        return 0;
    }
    switch (plist_get_node_type(value)) {
    case PLIST_UINT: {
        std::uint64_t raw = 0;
        plist_get_uint_val(value, &raw);
        // Integers are kept as unsigned 64-bit; negative numbers are stored in two's complement.
        return static_cast<std::int64_t>(raw);
    }
    case PLIST_STRING: {
        std::uint64_t length = 0;
        const char* text = plist_get_string_ptr(value, &length);
        return integerValueOfText(QString::fromUtf8(text, static_cast<qsizetype>(length)));
    }
    default:
        return 0;
    }
}

bool PropertyList::valueEquals(const QString& key, const PropertyList& other, const QString& otherKey) const {
    plist_t a = nodeOf(find(key));
    plist_t b = nodeOf(other.find(otherKey));
    if (a == nullptr || b == nullptr || plist_get_node_type(a) != plist_get_node_type(b)) {
        return false;
    }
    if (plist_get_node_type(a) == PLIST_STRING) {
        return stringValue(key) == other.stringValue(otherKey);
    }
    // Any other kind: compare the serialised forms.
    PropertyList left = dictionary();
    PropertyList right = dictionary();
    left.set(QStringLiteral("v"), plist_copy(a));
    right.set(QStringLiteral("v"), plist_copy(b));
    return left.toXml(nullptr) == right.toXml(nullptr);
}

void PropertyList::set(const QString& key, void* item) {
    if (node_ == nullptr) {
        node_.reset(plist_new_dict());
    }
    plist_dict_set_item(nodeOf(node_.get()), key.toUtf8().constData(), nodeOf(item));
}

void PropertyList::setInteger(const QString& key, std::int64_t value) {
    set(key, plist_new_uint(static_cast<std::uint64_t>(value)));
}

void PropertyList::setString(const QString& key, const QString& value) {
    set(key, plist_new_string(value.toUtf8().constData()));
}

void PropertyList::setValueFrom(const QString& key, const PropertyList& source, const QString& sourceKey) {
    plist_t value = nodeOf(source.find(sourceKey));
    if (value == nullptr) {
        remove(key);
        return;
    }
    set(key, plist_copy(value));
}

void PropertyList::eraseSecret(const QString& key) {
    plist_t value = nodeOf(find(key));
    if (value == nullptr) {
        return;
    }
    if (plist_get_node_type(value) == PLIST_STRING) {
        std::uint64_t length = 0;
        // The node's own buffer, which the removal frees unwiped.
        char* text = const_cast<char*>(plist_get_string_ptr(value, &length));
        if (text != nullptr) {
            ::explicit_bzero(text, static_cast<std::size_t>(length));
        }
    }
    remove(key);
}

void PropertyList::remove(const QString& key) {
    if (node_ != nullptr && find(key) != nullptr) {
        plist_dict_remove_item(nodeOf(node_.get()), key.toUtf8().constData());
    }
}
