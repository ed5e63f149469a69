// HalvaneBoard: the calls board of a ward, for the nurses' room and the corridor. It finds the
// server, is listed by it and shows every open call until its cancel arrives.

#include "board/BoardSettings.h"
#include "board/BoardSound.h"
#include "board/BoardStation.h"
#include "board/BoardWindow.h"

#include "core/base/AppError.h"
#include "core/base/WindowSystem.h"
#include "core/settings/IniFile.h"

#include <QApplication>
#include <QMessageBox>
#include <QTextStream>

#include <optional>

namespace {

QStringList argumentsOf(int argc, char* argv[])
{
    QStringList arguments;
    for (int i = 0; i < argc; ++i)
        arguments << QString::fromLocal8Bit(argv[i]);
    return arguments;
}

// Said instead of Qt's platform message when the board has no screen to show on.
QString noDisplayText()
{
    return QStringLiteral("HalvaneBoard: табло негде показать — нет доступного дисплея (%1). "
                          "Запустите табло в графическом сеансе станции.")
        .arg(WindowSystem::describe());
}

} // namespace

int main(int argc, char* argv[])
{
    // Before the application: the command line is answered also where there is no display.
    const BoardOptions options = parseBoardArguments(argumentsOf(argc, argv));
    if (options.help) {
        QTextStream(stdout) << boardUsage();
        return 0;
    }
    if (!options.error.isEmpty()) {
        QTextStream(stderr) << options.error << Qt::endl << Qt::endl << boardUsage();
        return 2;
    }
    if (!WindowSystem::named()) {
        QTextStream(stderr) << noDisplayText() << Qt::endl;
        return 1;
    }
    std::optional<WindowSystem::StartGuard> guard(std::in_place, noDisplayText());
    QApplication app(argc, argv);
    guard.reset();
    QTextStream err(stderr);

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
        err << error << Qt::endl;
        QMessageBox::critical(nullptr, QStringLiteral("!"), error);
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
