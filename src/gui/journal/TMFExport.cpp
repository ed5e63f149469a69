#include "gui/journal/TMF.h"

#include "core/journal/JournalExport.h"
#include "gui/journal/JournalModel.h"
#include "gui/kit/Dialogs.h"

#include <QFileInfo>

void TMF::mExcelClick()
{
    const QString chosen =
        Dialogs::provider().saveFileName(this, JournalExport::proposedName(m_server.cfg().excelFileName),
                                         QStringLiteral("*.xlsx"), QStringLiteral("xlsx"));
    if (chosen.isEmpty())
        return;
    const QString path = QFileInfo(JournalExport::fileNameFor(chosen)).absoluteFilePath();
    // The dialog proposes the path chosen last, also when this export fails.
    m_server.setExcelFileName(path);
    // The dialog cannot ask: the name it gave may have become another one.
    if (QFileInfo::exists(path) && !Dialogs::question(this, JournalExport::overwriteQuestion(path)))
        return;

    const bool written = Dialogs::guard(this, [this, &path] {
        const Dialogs::WaitCursor wait;
        QStringList captions;
        for (int c = 0; c < journal->columnCount(); ++c)
            captions << journal->headerData(c, Qt::Horizontal, Qt::DisplayRole).toString();
        JournalExport::writeXlsx(
            path, captions,
            [this](const std::function<void(const QStringList&)>& visit) { journal->forEachEntry(visit); });
    });
    // The exported journal is put in front of the operator; without an application for it, the
    // operator is told where the file is.
    if (written && !Dialogs::provider().openWithDesktop(path))
        Dialogs::message(this, JournalExport::savedMessage(path));
}
