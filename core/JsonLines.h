#pragma once

#include <QByteArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QString>

// The version of the objects mirto-cli prints with --json and keeps in its
// journal. Scripts and job engines read them; a change that renames,
// removes or changes the meaning of a field raises it (adding a field does
// not). packaging/mirto-cli.schema.json describes this version.
inline constexpr int JsonLinesSchemaVersion = 1;

// `object` with its "schema" as one compact JSON line, without the newline.
inline QByteArray JsonLine(QJsonObject object)
{
    object.insert(QStringLiteral("schema"), JsonLinesSchemaVersion);
    return QJsonDocument(object).toJson(QJsonDocument::Compact);
}
