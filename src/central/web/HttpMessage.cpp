#include "central/web/HttpMessage.h"

#include <QStringList>

#include <algorithm>
#include <limits>

namespace {

bool isTokenChar(char c)
{
    if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9'))
        return true;
    return QByteArrayView("!#$%&'*+-.^_`|~").contains(c);
}

bool isToken(QByteArrayView text)
{
    if (text.isEmpty())
        return false;
    for (char c : text)
        if (!isTokenChar(c))
            return false;
    return true;
}

int hexValue(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// %XX escapes (and "+" as a blank in forms and queries). False on a bad escape or a NUL, which no
// path, name or value of ours can hold.
bool percentDecode(QByteArrayView text, bool plusIsBlank, QByteArray* out)
{
    out->clear();
    out->reserve(text.size());
    for (qsizetype i = 0; i < text.size(); ++i) {
        char c = text[i];
        if (c == '%') {
            if (i + 2 >= text.size())
                return false;
            const int high = hexValue(text[i + 1]);
            const int low = hexValue(text[i + 2]);
            if (high < 0 || low < 0)
                return false;
            c = static_cast<char>(high * 16 + low);
            i += 2;
        } else if (c == '+' && plusIsBlank) {
            c = ' ';
        }
        if (c == '\0')
            return false;
        out->append(c);
    }
    return true;
}

bool isUtf8(const QByteArray& bytes)
{
    return QString::fromUtf8(bytes).toUtf8() == bytes;
}

// The parts of text between separators, empty ones included.
QList<QByteArrayView> splitView(QByteArrayView text, char separator)
{
    QList<QByteArrayView> parts;
    qsizetype from = 0;
    while (true) {
        const qsizetype at = text.indexOf(separator, from);
        if (at < 0) {
            parts.append(text.sliced(from));
            return parts;
        }
        parts.append(text.sliced(from, at - from));
        from = at + 1;
    }
}

QByteArrayView trimmed(QByteArrayView text)
{
    while (!text.isEmpty() && (text.front() == ' ' || text.front() == '\t'))
        text = text.sliced(1);
    while (!text.isEmpty() && (text.back() == ' ' || text.back() == '\t'))
        text.chop(1);
    return text;
}

// Whether a comma-separated header value holds the token (case does not matter).
bool hasToken(const QByteArray& value, QByteArrayView token)
{
    for (const QByteArray& part : value.split(','))
        if (trimmed(part).compare(token, Qt::CaseInsensitive) == 0)
            return true;
    return false;
}

// The decoded path, or why not: empty on any escape, byte or segment the server will not look up.
bool decodePath(QByteArrayView raw, QString* path)
{
    QByteArray bytes;
    if (!percentDecode(raw, false, &bytes) || !isUtf8(bytes))
        return false;
    for (char c : bytes)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f || c == '\\')
            return false;
    if (bytes.size() > 1 && bytes.endsWith('/'))
        bytes.chop(1);
    if (bytes != "/") {
        const QList<QByteArray> segments = bytes.mid(1).split('/');
        for (const QByteArray& segment : segments)
            if (segment.isEmpty() || segment == "." || segment == "..")
                return false;
    }
    *path = QString::fromUtf8(bytes);
    return true;
}

bool decodePairs(QByteArrayView text, QHash<QString, QString>* pairs, bool skipBad)
{
    for (const QByteArrayView pair : splitView(text, '&')) {
        if (pair.isEmpty())
            continue;
        const qsizetype eq = pair.indexOf('=');
        QByteArray name;
        QByteArray value;
        const bool ok = percentDecode(eq < 0 ? pair : pair.first(eq), true, &name) &&
                        percentDecode(eq < 0 ? QByteArrayView() : pair.sliced(eq + 1), true, &value);
        if (!ok) {
            if (skipBad)
                continue;
            return false;
        }
        if (!name.isEmpty())
            pairs->insert(QString::fromUtf8(name), QString::fromUtf8(value));
    }
    return true;
}

const char* reasonPhrase(int status)
{
    switch (status) {
    case 101:
        return "Switching Protocols";
    case 200:
        return "OK";
    case 201:
        return "Created";
    case 204:
        return "No Content";
    case 301:
        return "Moved Permanently";
    case 302:
        return "Found";
    case 303:
        return "See Other";
    case 304:
        return "Not Modified";
    case 400:
        return "Bad Request";
    case 401:
        return "Unauthorized";
    case 403:
        return "Forbidden";
    case 404:
        return "Not Found";
    case 405:
        return "Method Not Allowed";
    case 408:
        return "Request Timeout";
    case 409:
        return "Conflict";
    case 413:
        return "Content Too Large";
    case 414:
        return "URI Too Long";
    case 415:
        return "Unsupported Media Type";
    case 421:
        return "Misdirected Request";
    case 429:
        return "Too Many Requests";
    case 431:
        return "Request Header Fields Too Large";
    case 500:
        return "Internal Server Error";
    case 501:
        return "Not Implemented";
    case 502:
        return "Bad Gateway";
    case 503:
        return "Service Unavailable";
    case 505:
        return "HTTP Version Not Supported";
    default:
        return "Status";
    }
}

} // namespace

QByteArray HttpRequest::cookie(QByteArrayView name) const
{
    const QByteArray header = headers.value(QByteArrayLiteral("cookie"));
    for (const QByteArrayView pair : splitView(header, ';')) {
        const QByteArrayView item = trimmed(pair);
        const qsizetype eq = item.indexOf('=');
        if (eq <= 0 || trimmed(item.first(eq)) != name)
            continue;
        QByteArrayView value = trimmed(item.sliced(eq + 1));
        if (value.size() >= 2 && value.front() == '"' && value.back() == '"')
            value = value.sliced(1, value.size() - 2);
        return value.toByteArray();
    }
    return {};
}

QHash<QString, QString> HttpRequest::form() const
{
    const QByteArray type = headers.value(QByteArrayLiteral("content-type"));
    const qsizetype semicolon = type.indexOf(';');
    const QByteArrayView mediaType =
        trimmed(semicolon < 0 ? QByteArrayView(type) : QByteArrayView(type).first(semicolon));
    if (mediaType.compare("application/x-www-form-urlencoded", Qt::CaseInsensitive) != 0)
        return {};
    return HttpParser::decodeForm(body);
}

bool HttpRequest::keepAlive() const
{
    const QByteArray connection = headers.value(QByteArrayLiteral("connection"));
    if (version == "HTTP/1.0")
        return hasToken(connection, "keep-alive");
    return !hasToken(connection, "close");
}

HttpResponse HttpResponse::text(int status, const QString& message)
{
    HttpResponse r;
    r.status = status;
    r.contentType = QByteArrayLiteral("text/plain; charset=utf-8");
    r.body = message.toUtf8();
    return r;
}

HttpResponse HttpResponse::json(QByteArray body, int status)
{
    HttpResponse r;
    r.status = status;
    r.contentType = QByteArrayLiteral("application/json");
    r.body = std::move(body);
    return r;
}

HttpResponse HttpResponse::redirect(const QByteArray& location)
{
    HttpResponse r;
    r.status = 303;
    r.headers.append({QByteArrayLiteral("Location"), location});
    return r;
}

HttpResponse HttpResponse::refusal(int status)
{
    switch (status) {
    case 400:
        return text(status, QStringLiteral("Неверный запрос"));
    case 403:
        return text(status, QStringLiteral("Доступ запрещён"));
    case 408:
        return text(status, QStringLiteral("Запрос не пришёл вовремя"));
    case 413:
        return text(status, QStringLiteral("Слишком большое тело запроса"));
    case 414:
        return text(status, QStringLiteral("Слишком длинная строка запроса"));
    case 431:
        return text(status, QStringLiteral("Слишком большие заголовки запроса"));
    case 501:
        return text(status, QStringLiteral("Такая передача тела запроса не поддерживается"));
    case 505:
        return text(status, QStringLiteral("Версия HTTP не поддерживается"));
    case 503:
        return text(status, QStringLiteral("Сервер перегружен, повторите позже"));
    default:
        return text(status, QStringLiteral("Внутренняя ошибка сервера"));
    }
}

QByteArray HttpResponse::sessionCookie(QByteArrayView name, QByteArrayView value, qint64 maxAgeSeconds,
                                       bool secure)
{
    QByteArray out;
    for (char c : name)
        if (isTokenChar(c))
            out += c;
    out += '=';
    for (char c : value) {
        const auto u = static_cast<unsigned char>(c);
        if (u > 0x20 && u < 0x7f && c != '"' && c != ',' && c != ';' && c != '\\')
            out += c;
    }
    out += "; Path=/; Max-Age=" + QByteArray::number(std::max<qint64>(0, maxAgeSeconds)) +
           "; HttpOnly; SameSite=Strict";
    if (secure)
        out += "; Secure";
    return out;
}

QByteArray HttpResponse::serialize(bool keepAlive, bool withBody) const
{
    const int code = status >= 100 && status <= 599 ? status : 500;
    auto safe = [](const QByteArray& text) {
        return !text.contains('\r') && !text.contains('\n') && !text.contains('\0');
    };
    auto hasExtra = [this](QByteArrayView name) {
        for (const auto& [n, v] : headers)
            if (QByteArrayView(n).compare(name, Qt::CaseInsensitive) == 0)
                return true;
        return false;
    };
    QByteArray out;
    out.reserve(512 + (withBody ? body.size() : 0));
    out += "HTTP/1.1 " + QByteArray::number(code) + ' ' + reasonPhrase(code) + "\r\n";
    if (!contentType.isEmpty() && safe(contentType))
        out += "Content-Type: " + contentType + "\r\n";
    out += "Content-Length: " + QByteArray::number(body.size()) + "\r\n";
    out += keepAlive ? "Connection: keep-alive\r\n" : "Connection: close\r\n";
    // The defaults below give way to an extra header of the same name (a cacheable asset, say).
    static const std::pair<const char*, const char*> defaults[] = {
        {"Cache-Control", "no-store"},
        {"X-Content-Type-Options", "nosniff"},
        {"X-Frame-Options", "DENY"},
        {"Referrer-Policy", "same-origin"},
        {"Content-Security-Policy", "default-src 'self'; img-src 'self' data:; frame-ancestors 'none'"},
    };
    for (const auto& [name, value] : defaults)
        if (!hasExtra(name))
            out += QByteArray(name) + ": " + value + "\r\n";
    for (const auto& [name, value] : headers) {
        if (!isToken(name) || !safe(value) || name.compare("Content-Length", Qt::CaseInsensitive) == 0 ||
            name.compare("Connection", Qt::CaseInsensitive) == 0 ||
            name.compare("Content-Type", Qt::CaseInsensitive) == 0)
            continue;
        out += name + ": " + value + "\r\n";
    }
    out += "\r\n";
    if (withBody)
        out += body;
    return out;
}

namespace HttpParser {

QHash<QString, QString> decodeForm(QByteArrayView text)
{
    QHash<QString, QString> pairs;
    decodePairs(text, &pairs, true);
    return pairs;
}

Result parse(QByteArrayView data, const Limits& limits)
{
    Result r;
    auto refuse = [&r](int status) {
        r.status = Status::Refused;
        r.refusal = status;
        r.request = {};
        return r;
    };

    // Empty lines before a request are skipped (a client may end a body with a stray CRLF); they
    // count towards the request line.
    qsizetype start = 0;
    while (start < data.size() && (data[start] == '\n' || (data[start] == '\r' && start + 1 < data.size() &&
                                                           data[start + 1] == '\n')))
        ++start;
    const qsizetype lineEnd = data.indexOf('\n', start);
    if (lineEnd < 0) {
        if (data.size() > limits.requestLine + 1)
            return refuse(414);
        return r;
    }
    QByteArrayView line = data.sliced(start, lineEnd - start);
    if (line.endsWith('\r'))
        line.chop(1);
    if (lineEnd > limits.requestLine + 1) // the line and any empty ones before it, CR included
        return refuse(414);

    // method SP request-target SP HTTP-version, one blank each.
    const qsizetype sp1 = line.indexOf(' ');
    const qsizetype sp2 = sp1 < 0 ? -1 : line.indexOf(' ', sp1 + 1);
    if (sp1 <= 0 || sp2 <= sp1 + 1 || line.indexOf(' ', sp2 + 1) >= 0)
        return refuse(400);
    const QByteArrayView method = line.first(sp1);
    const QByteArrayView target = line.sliced(sp1 + 1, sp2 - sp1 - 1);
    const QByteArrayView version = line.sliced(sp2 + 1);
    if (!isToken(method))
        return refuse(400);
    if (version.size() != 8 || !version.startsWith("HTTP/") || version[6] != '.' || version[5] < '0' ||
        version[5] > '9' || version[7] < '0' || version[7] > '9')
        return refuse(400);
    if (version[5] != '1')
        return refuse(505);
    for (char c : target)
        if (static_cast<unsigned char>(c) <= 0x20 || static_cast<unsigned char>(c) >= 0x7f || c == '#')
            return refuse(400);
    if (!target.startsWith('/')) // only origin-form: no absolute URL, no "*", no authority
        return refuse(400);
    const qsizetype question = target.indexOf('?');
    HttpRequest& request = r.request;
    if (!decodePath(question < 0 ? target : target.first(question), &request.path))
        return refuse(400);
    if (question >= 0 && !decodePairs(target.sliced(question + 1), &request.query, false))
        return refuse(400);
    request.method = method.toByteArray();
    request.version = version.toByteArray();

    // The header block: field lines up to an empty one.
    const qsizetype headersStart = lineEnd + 1;
    qsizetype pos = headersStart;
    qsizetype blockEnd = -1;
    int count = 0;
    while (true) {
        const qsizetype nl = data.indexOf('\n', pos);
        if (nl < 0 || nl + 1 - headersStart > limits.headerBlock) {
            if (data.size() - headersStart > limits.headerBlock)
                return refuse(431);
            r.request = {};
            return r;
        }
        QByteArrayView field = data.sliced(pos, nl - pos);
        pos = nl + 1;
        if (field.endsWith('\r'))
            field.chop(1);
        if (field.isEmpty()) {
            blockEnd = pos;
            break;
        }
        if (++count > limits.headerCount)
            return refuse(431);
        if (field.front() == ' ' || field.front() == '\t') // obsolete line folding
            return refuse(400);
        const qsizetype colon = field.indexOf(':');
        if (colon <= 0 || !isToken(field.first(colon)))
            return refuse(400);
        const QByteArrayView value = trimmed(field.sliced(colon + 1));
        for (char c : value)
            if ((static_cast<unsigned char>(c) < 0x20 && c != '\t') || c == 0x7f)
                return refuse(400);
        const QByteArray name = field.first(colon).toByteArray().toLower();
        auto existing = request.headers.find(name);
        if (existing == request.headers.end()) {
            request.headers.insert(name, value.toByteArray());
        } else if (name == "content-length" || name == "host") {
            return refuse(400);
        } else {
            existing.value() += (name == "cookie" ? "; " : ", ") + value.toByteArray();
        }
    }

    if (request.version == "HTTP/1.1" && !request.headers.contains("host"))
        return refuse(400);
    if (request.headers.contains("transfer-encoding"))
        return refuse(501);
    qint64 length = 0;
    const auto contentLength = request.headers.constFind("content-length");
    if (contentLength != request.headers.cend()) {
        const QByteArray& text = contentLength.value();
        if (text.isEmpty())
            return refuse(400);
        for (char c : text)
            if (c < '0' || c > '9')
                return refuse(400);
        length = text.size() > 18 ? std::numeric_limits<qint64>::max() : text.toLongLong();
        if (length > limits.body)
            return refuse(413);
    }
    const qsizetype total = blockEnd + static_cast<qsizetype>(length);
    if (data.size() < total) {
        r.needed = total;
        r.request = {};
        return r;
    }
    request.body = data.sliced(blockEnd, length).toByteArray();
    request.webSocket = request.method == "GET" && hasToken(request.headers.value("upgrade"), "websocket") &&
                        hasToken(request.headers.value("connection"), "upgrade");
    r.status = Status::Complete;
    r.consumed = total;
    return r;
}

} // namespace HttpParser
