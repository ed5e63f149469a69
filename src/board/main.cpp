// HalvaneBoard: the calls board of a ward, for the nurses' room and the corridor. It finds the
// server, is listed by it and shows every open call until its cancel arrives.

#include "board/BoardSettings.h"
#include "board/BoardSound.h"
#include "board/BoardStation.h"
#include "board/BoardWindow.h"

#include "core/base/AppError.h"
#include "core/settings/IniFile.h"

#include <QApplication>
#include <QMessageBox>
#include <QTextStream>

int main(int argc, char* argv[])
{
    QApplication app(argc, argv);
    QTextStream err(stderr);

    const BoardOptions options = parseBoardArguments(app.arguments());
    if (!options.error.isEmpty()) {
        err << options.error << Qt::endl << "HalvaneBoard [--server ADDRESS] [--window]" << Qt::endl;
        return 2;
    }

    IniFile ini(BoardSettingsFile::path(QCoreApplication::applicationFilePath()));
    if (!ini.exists()) {
        try {
            BoardSettingsFile::writeFirstStart(ini);
        } catch (const AppError& e) {
            // The board can still show calls with its defaults; the file is written next time.
            err << e.message() << Qt::endl;
        }
    }
    BoardSettings settings = BoardSettingsFile::read(ini);
    if (!options.server.isEmpty())
        settings.Address = options.server;
    bool addressOk = false;
    serverAddressFromText(settings.Address, &addressOk);
    if (!addressOk) {
        err << QStringLiteral("Неверный адрес сервера в %1: %2. Сервер ищется широковещательно.")
                   .arg(ini.path(), settings.Address)
            << Qt::endl;
        settings.Address.clear();
    }

    BoardStation station(settings);
    QString error;
    if (!station.start(&error)) {
        const QString text =
            QStringLiteral("Не удалось открыть UDP-порт %1: %2").arg(settings.fromPort()).arg(error);
        err << text << Qt::endl;
        QMessageBox::critical(nullptr, QStringLiteral("!"), text);
        return 1;
    }

    BoardSound sound(settings.soundOn());
    QObject::connect(&station, &BoardStation::cue, &sound, [&sound](BoardStation::Cue cue) {
        sound.play(cue == BoardStation::Cue::Alarm ? BoardSound::Tone::Alarm : BoardSound::Tone::NewCall);
    });

    BoardWindow window(station, settings);
    if (options.windowed) {
        window.resize(1024, 640);
        window.show();
    } else {
        window.setCursor(Qt::BlankCursor);
        window.showFullScreen();
    }
    return app.exec();
}
