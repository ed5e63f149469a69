#pragma once

#include "gui/kit/Dialogs.h"

#include <QList>
#include <QString>
#include <QStringList>

#include <functional>

// Answers the program's boxes and dialogs in tests and records what was shown. Installed on
// construction, removed on destruction. A question with no scripted answer fails the running test
// (and is answered Cancel, so the test can end).
class ScriptedDialogs : public DialogProvider
{
public:
    ScriptedDialogs();
    ~ScriptedDialogs() override;

    void answerNextQuestion(bool ok) { m_answers.append(ok); }
    void setNextSaveFileName(const QString& path) { m_saveNames.append(path); }

    void message(QWidget* parent, const QString& text) override;
    bool question(QWidget* parent, const QString& text, const QString& title) override;
    void error(QWidget* parent, const QString& title, const QString& text) override;
    QString saveFileName(QWidget* parent, const QString& initialPath, const QString& filter,
                         const QString& defaultSuffix) override;
    bool openWithDesktop(const QString& path) override;

    QStringList messages;
    QStringList questions;
    QStringList questionTitles;
    QStringList errors;
    QStringList errorTitles;
    QStringList saveDialogInitialPaths;
    QStringList saveDialogFilters;
    QStringList saveDialogSuffixes;
    QStringList opened;
    int unexpectedQuestions = 0;
    // Run once, as if while the next error box were open (a real box runs the event loop); then cleared.
    std::function<void()> whileErrorOpen;
    // Whether a desktop program takes the files handed to it.
    bool desktopOpens = true;

private:
    QList<bool> m_answers;
    QStringList m_saveNames;
};
