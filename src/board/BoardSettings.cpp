#include "board/BoardSettings.h"

#include "core/settings/IniFile.h"

#include <QCommandLineParser>
#include <QFileInfo>

#include <algorithm>

namespace {

struct Key
{
    const char* section;
    const char* key;
    const char* comment;
    const char* textDefault;      // text keys
    qint32 intDefault;            // integer keys
    QString BoardSettings::*text; // exactly one of text and integer is set
    qint32 BoardSettings::*integer;
};

// Every key, in the order of the file. Section descriptions come first in their section.
const Key kKeys[] = {
    {"Server", "Address",
     "IPv4-адрес сервера. Пусто - сервер ищется широковещательным приветствием в локальной сети.", "", 0,
     &BoardSettings::Address, nullptr},
    {"Server", "ToPort", "номер UDP-порта сервера, в который табло посылает приветствие", nullptr,
     Stations::kServerPort, nullptr, &BoardSettings::ToPort},
    {"Server", "FromPort", "номер UDP-порта, на который сервер посылает сигналы и извещения", nullptr,
     Stations::kStationPort, nullptr, &BoardSettings::FromPort},
    {"Server", "FromPing", "приветствие от табло серверу", Stations::kHello, 0, &BoardSettings::FromPing,
     nullptr},
    {"Server", "ToPing", "пингующая строка от сервера табло", Stations::kPing, 0, &BoardSettings::ToPing,
     nullptr},
    {"Board", "Caption", "Надпись: заголовок окна", "Табло вызовов", 0, &BoardSettings::Caption, nullptr},
    {"Board", "WarnTime", "секунд ожидания, после которых плитка вызова становится жёлтой", nullptr, 180,
     nullptr, &BoardSettings::WarnTime},
    {"Board", "AlarmTime", "секунд ожидания, после которых плитка вызова становится красной и звучит сигнал",
     nullptr, 300, nullptr, &BoardSettings::AlarmTime},
    {"Board", "Sound", "звуковой сигнал при новом вызове и при тревоге: 1 - включен, 0 - выключен", nullptr,
     1, nullptr, &BoardSettings::Sound},
    {"Board", "MaxTiles",
     "наибольшее число плиток на табло (до 1000); при переполнении закрывается самая старая", nullptr, 100,
     nullptr, &BoardSettings::MaxTiles},
    {"Board", "log_r8", "Надпись: тип вызова 8", "вызов", 0, &BoardSettings::log_r8, nullptr},
    {"Board", "log_r4", "Надпись: тип вызова 4", "прием ", 0, &BoardSettings::log_r4, nullptr},
    {"Board", "log_rb", "Надпись: тип вызова b (кнопка КБ)", "вызов отв.", 0, &BoardSettings::log_rb,
     nullptr},
    {"Board", "placeText", "Надпись: на плитке места, которое указал оператор", "Место указано оператором", 0,
     &BoardSettings::placeText, nullptr},
    {"Board", "lostText", "Сообщение: нет сигналов от сервера", "Нет связи с сервером.", 0,
     &BoardSettings::lostText, nullptr},
    {"Board", "lastPingText", "Сообщение: перед временем последнего сигнала сервера", "Последний сигнал в ",
     0, &BoardSettings::lastPingText, nullptr},
    {"Board", "noPingText", "Сообщение: сервер ещё не отвечал", "Сервер ещё не найден.", 0,
     &BoardSettings::noPingText, nullptr},
    {"Board", "staleText", "Надпись: на плитке, показанной без связи с сервером", "возможно, устарело", 0,
     &BoardSettings::staleText, nullptr},
    {"Board", "emptyText", "Надпись: открытых вызовов нет", "Вызовов нет", 0, &BoardSettings::emptyText,
     nullptr},
    {"Board", "moreText", "Надпись: перед числом вызовов, которые не поместились", "Ещё вызовов: ", 0,
     &BoardSettings::moreText, nullptr},
};

const char* const kSectionComments[][2] = {
    {"Server", "Связь с сервером"},
    {"Board", "Табло вызовов"},
};

QString u(const char* text)
{
    return QString::fromUtf8(text);
}

} // namespace

QString BoardSettings::typeLabel(const QString& function) const
{
    if (function == QLatin1String("8"))
        return log_r8;
    if (function == QLatin1String("4"))
        return log_r4;
    if (function == QLatin1String("b"))
        return log_rb;
    return QString();
}

qint64 BoardSettings::warnMs() const
{
    return qint64(std::max<qint32>(WarnTime, 1)) * 1000;
}

qint64 BoardSettings::alarmMs() const
{
    return std::max(qint64(std::max<qint32>(AlarmTime, 1)) * 1000, warnMs());
}

qsizetype BoardSettings::maxTiles() const
{
    return std::clamp<qint32>(MaxTiles, 1, 1000);
}

QString BoardSettingsFile::path(const QString& exePath)
{
    return IniFile::pathBesideExecutable(exePath);
}

void BoardSettingsFile::writeFirstStart(IniFile& ini)
{
    for (const auto& section : kSectionComments)
        ini.writeString(u(section[0]), u(";Описание секции"), u(section[1]));
    for (const Key& k : kKeys)
        ini.writeString(u(k.section), QLatin1Char(';') + u(k.key), u(k.comment));
    for (const Key& k : kKeys) {
        if (k.text)
            ini.writeString(u(k.section), u(k.key), u(k.textDefault));
        else
            ini.writeInteger(u(k.section), u(k.key), k.intDefault);
    }
}

BoardSettings BoardSettingsFile::read(const IniFile& ini)
{
    BoardSettings s;
    for (const Key& k : kKeys) {
        if (k.text)
            s.*(k.text) = ini.readString(u(k.section), u(k.key), u(k.textDefault));
        else
            s.*(k.integer) = ini.readInteger(u(k.section), u(k.key), k.intDefault);
    }
    return s;
}

QStringList BoardSettingsFile::keys()
{
    QStringList list;
    for (const Key& k : kKeys)
        list << u(k.section) + QLatin1Char('/') + u(k.key);
    return list;
}

QHostAddress serverAddressFromText(const QString& text, bool* ok)
{
    const QString trimmed = text.trimmed();
    if (trimmed.isEmpty()) {
        *ok = true;
        return QHostAddress();
    }
    QHostAddress address;
    *ok = address.setAddress(trimmed) && address.protocol() == QAbstractSocket::IPv4Protocol;
    return *ok ? address : QHostAddress();
}

BoardOptions parseBoardArguments(const QStringList& arguments)
{
    BoardOptions options;
    QCommandLineParser parser;
    const QCommandLineOption server(QStringLiteral("server"), QStringLiteral("IPv4-адрес сервера"),
                                    QStringLiteral("ADDRESS"));
    const QCommandLineOption window(QStringLiteral("window"), QStringLiteral("показать табло в окне"));
    parser.addOption(server);
    parser.addOption(window);
    if (!parser.parse(arguments)) {
        options.error = parser.errorText();
        return options;
    }
    if (!parser.positionalArguments().isEmpty()) {
        options.error = QStringLiteral("Лишний аргумент: ") + parser.positionalArguments().first();
        return options;
    }
    options.windowed = parser.isSet(window);
    if (parser.isSet(server)) {
        options.server = parser.value(server).trimmed();
        bool ok = false;
        serverAddressFromText(options.server, &ok);
        if (!ok || options.server.isEmpty())
            options.error = QStringLiteral("Неверный адрес сервера: ") + parser.value(server);
    }
    return options;
}
