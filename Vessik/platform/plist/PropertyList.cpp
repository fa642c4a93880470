#include "platform/PropertyList.h"

#include <cctype>
#include <cstdlib>
#include <limits>
#include <memory>
#include <plist/plist.h>
#include <utility>

namespace {

struct FreeDeleter {
    void operator()(void* p) const noexcept { std::free(p); }
};
using CString = std::unique_ptr<char, FreeDeleter>;

plist_t nodeOf(void* p) {
    return static_cast<plist_t>(p);
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
    plist_t parsed = nullptr;
    plist_from_memory(data.constData(), static_cast<std::uint32_t>(data.size()), &parsed);
    Node root(parsed);
    if (root == nullptr) {
        return fail("not a property list");
    }
    if (plist_get_node_type(nodeOf(root.get())) != PLIST_DICT) {
        return fail("the root of the property list is not a dictionary");
    }
    return PropertyList(std::move(root));
}

QByteArray PropertyList::toXml(QString* error) const {
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
    QByteArray out(xml, static_cast<qsizetype>(length));
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

void PropertyList::remove(const QString& key) {
    if (node_ != nullptr && find(key) != nullptr) {
        plist_dict_remove_item(nodeOf(node_.get()), key.toUtf8().constData());
    }
}
