#include "src/gui/font_names.h"

#include <QHash>

#include <cstdint>
#include <utility>

namespace {

// Big-endian reads that answer false past the end instead of reading there.
struct reader {
    const QByteArray& data;

    bool u16(qint64 at, uint16_t& value) const
    {
        if (at < 0 || at + 2 > data.size())
            return false;
        const auto* p = reinterpret_cast<const unsigned char*>(data.constData()) + at;
        value = static_cast<uint16_t>(p[0] << 8 | p[1]);
        return true;
    }
    bool u32(qint64 at, uint32_t& value) const
    {
        uint16_t high = 0, low = 0;
        if (!u16(at, high) || !u16(at + 2, low))
            return false;
        value = uint32_t(high) << 16 | low;
        return true;
    }
};

enum : uint16_t { family_id = 1, style_id = 2, typographic_family_id = 16, typographic_style_id = 17 };

// The name table's offset and length, or false without one.
bool find_name_table(const reader& in, qint64& offset, qint64& length)
{
    uint16_t tables = 0;
    if (!in.u16(4, tables))
        return false;
    for (qint64 record = 12; tables > 0; --tables, record += 16) {
        uint32_t tag = 0, at = 0, size = 0;
        if (!in.u32(record, tag) || !in.u32(record + 8, at) || !in.u32(record + 12, size))
            return false;
        if (tag == 0x6e616d65 /* name */) {
            offset = at;
            length = size;
            return offset + length <= in.data.size();
        }
    }
    return false;
}

} // namespace

std::vector<face_name> face_names(const QByteArray& font_file)
{
    const reader in{font_file};
    qint64 table = 0, table_length = 0;
    uint16_t count = 0, strings = 0;
    if (!find_name_table(in, table, table_length) || !in.u16(table + 2, count) || !in.u16(table + 4, strings))
        return {};
    // English names of the Windows (UTF-16) and Macintosh (Roman) platforms, by name id.
    QHash<uint16_t, QString> windows, macintosh;
    for (qint64 record = table + 6; count > 0; --count, record += 12) {
        uint16_t platform = 0, encoding = 0, language = 0, id = 0, length = 0, offset = 0;
        if (!in.u16(record, platform) || !in.u16(record + 2, encoding) || !in.u16(record + 4, language)
            || !in.u16(record + 6, id) || !in.u16(record + 8, length) || !in.u16(record + 10, offset))
            return {};
        const qint64 at = table + strings + offset;
        if (at + length > table + table_length)
            continue;
        const QByteArray bytes = font_file.mid(at, length);
        if (platform == 3 && (encoding == 1 || encoding == 10) && language == 0x409) {
            QString text;
            for (int i = 0; i + 1 < bytes.size(); i += 2)
                text += QChar(static_cast<ushort>(uchar(bytes[i]) << 8 | uchar(bytes[i + 1])));
            windows.insert(id, text);
        } else if (platform == 1 && encoding == 0 && language == 0) {
            macintosh.insert(id, QString::fromLatin1(bytes));
        }
    }
    const std::pair<uint16_t, uint16_t> pairs[] = {{typographic_family_id, typographic_style_id}, {family_id, style_id}};
    std::vector<face_name> names;
    for (const auto* platform : {&windows, &macintosh}) {
        for (const auto& [family, style] : pairs) {
            if (!platform->contains(family) || !platform->contains(style))
                continue;
            const face_name name{platform->value(family), platform->value(style)};
            bool known = false;
            for (const face_name& other : names)
                known = known || (other.family == name.family && other.style == name.style);
            if (!known)
                names.push_back(name);
        }
    }
    return names;
}
