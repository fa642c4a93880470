#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <utility>

#include <QtCore/QByteArray>
#include <QtCore/QString>
#include <QtCore/QStringList>

// A settings dictionary: a property-list dictionary that Vessik reads, changes in
// place and writes back, or null (the result of a failed load).
//
// Values of every property-list kind are held as loaded, so kinds that Vessik
// does not use (dates, data, arrays, dictionaries, reals, booleans) pass through
// a write-back unchanged, and keys keep their order. A null dictionary behaves
// as an empty one for every reader: each key is missing.
class PropertyList {
public:
    PropertyList() = default; // null
    // Copies are deep: the copy's values are its own.
    PropertyList(const PropertyList& other);
    PropertyList& operator=(const PropertyList& other);
    PropertyList(PropertyList&& other) noexcept = default;
    PropertyList& operator=(PropertyList&& other) noexcept = default;
    ~PropertyList() = default;

    // A new, empty (not null) dictionary.
    static PropertyList dictionary();

    // Parses XML or binary property-list data. Returns null, with a reason in
    // `error`, when the data is not a property list or its root is not a dictionary.
    static PropertyList fromData(const QByteArray& data, QString* error);

    // How toXml lays out its XML: one element a line, indented by depth with tabs
    // (the usual form), or without any white space between elements (the same
    // values, and far smaller for deeply nested ones).
    enum class XmlLayout { Indented, Compact };

    // The dictionary as an XML 1.0 property list; empty, with a reason in `error`,
    // when it cannot be serialised (a null dictionary cannot).
    QByteArray toXml(QString* error, XmlLayout layout = XmlLayout::Indented) const;

    bool isNull() const { return node_ == nullptr; }
    bool contains(const QString& key) const;
    QStringList keys() const;
    int count() const;

    // The text of `key` when it holds a string; nothing otherwise.
    std::optional<QString> stringValue(const QString& key) const;

    // The integer value of `key`, by the one rule every reader uses: an integer is
    // taken as it is (signed 64-bit); a string gives its leading decimal number
    // (leading white space skipped, an optional sign, then digits, saturating at the
    // 64-bit limits), 0 when it has none; any other kind and a missing key give 0.
    std::int64_t integerValue(const QString& key) const;

    // Whether `key` and the same key of `other` hold equal values of the same kind.
    bool valueEquals(const QString& key, const PropertyList& other, const QString& otherKey) const;

    // Setters replace a key in place (it keeps its position) or append it. On a
    // null dictionary they first make it an empty one.
    void setInteger(const QString& key, std::int64_t value);
    void setString(const QString& key, const QString& value);
    // Copies the value of `sourceKey` in `source` unchanged (any kind) into `key`;
    // removes `key` when the source has no such value.
    void setValueFrom(const QString& key, const PropertyList& source, const QString& sourceKey);
    void remove(const QString& key);
    // Overwrites the bytes of `key`'s string value in place, then removes the key
    // (for a secret that must not linger in freed memory). Any other kind of value
    // is only removed.
    void eraseSecret(const QString& key);

    // Converts a string by the rule of integerValue.
    static std::int64_t integerValueOfText(const QString& text);

private:
    // Frees a libplist node; defined beside the libplist calls, so this header needs none.
    struct NodeFree {
        void operator()(void* node) const noexcept;
    };
    using Node = std::unique_ptr<void, NodeFree>;

    explicit PropertyList(Node node) : node_(std::move(node)) {}
    void* find(const QString& key) const;
    void set(const QString& key, void* item);

    Node node_; // a libplist dictionary node, or null
};
