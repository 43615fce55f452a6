#pragma once

#include <QByteArray>
#include <QString>

#include <vector>

// A family and style by which a font file names its face.
struct face_name {
    QString family;
    QString style;
};

// The names a TrueType or OpenType file gives its face in its name table: the typographic family
// and style first, then the legacy pair that Windows' font back end groups faces by (there a
// Medium face may be the "Bold" of a family "Light"). Empty for anything it cannot read.
std::vector<face_name> face_names(const QByteArray& font_file);
