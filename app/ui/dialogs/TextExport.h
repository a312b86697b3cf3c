// Copying a dialog's text to the clipboard and saving it to a file, shared by the store
// viewer and the system-information dialog.
#pragma once

#include <QByteArray>
#include <QString>
#include <QWidget>

#include <string>

class IUserPort;

// The text as plain text on the clipboard.
void CopyTextToClipboard(const QString& text);
// Asks for a file name (the filter in the resource form "Name|*.ext|...||") and saves the
// bytes; an empty path (the user cancelled) saves nothing.
QString AskSaveFileName(QWidget* parent, const QString& defaultName, const QString& defaultSuffix,
                        const std::string& resourceFilter);
// Writes the bytes whole or not at all; a failure is shown with the file name and reason.
bool SaveTextFile(const QString& path, const QByteArray& bytes, IUserPort& port);
