#include "ScriptedDialogs.h"

#include <QTest>

#include <utility>

ScriptedDialogs::ScriptedDialogs()
{
    Dialogs::setProvider(this);
}

ScriptedDialogs::~ScriptedDialogs()
{
    Dialogs::setProvider(nullptr);
}

void ScriptedDialogs::message(QWidget*, const QString& text)
{
    messages.append(text);
}

bool ScriptedDialogs::question(QWidget*, const QString& text, const QString& title)
{
    questions.append(text);
    questionTitles.append(title);
    if (m_answers.isEmpty()) {
        ++unexpectedQuestions;
        QTest::qFail(
            qPrintable(
                QStringLiteral("a question the test did not script: \"%1\" (title \"%2\")").arg(text, title)),
            __FILE__, __LINE__);
        return false;
    }
    return m_answers.takeFirst();
}

void ScriptedDialogs::error(QWidget*, const QString& title, const QString& text)
{
    errorTitles.append(title);
    errors.append(text);
    if (auto open = std::exchange(whileErrorOpen, {}))
        open();
}

QString ScriptedDialogs::saveFileName(QWidget*, const QString& initialPath, const QString& filter,
                                      const QString& defaultSuffix)
{
    saveDialogInitialPaths.append(initialPath);
    saveDialogFilters.append(filter);
    saveDialogSuffixes.append(defaultSuffix);
    return m_saveNames.isEmpty() ? QString() : m_saveNames.takeFirst();
}

bool ScriptedDialogs::openWithDesktop(const QString& path)
{
    opened.append(path);
    return desktopOpens;
}
