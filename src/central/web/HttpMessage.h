#pragma once

// The dashboard's HTTP/1.1 messages: a request as the reader takes it apart, a response as it goes on
// the wire, and the reader itself. The reader is a pure function over the bytes a connection has
// received so far, so every refusal can be tried without a socket.

#include <QByteArray>
#include <QByteArrayView>
#include <QHash>
#include <QHostAddress>
#include <QList>
#include <QString>

#include <utility>

struct HttpRequest
{
    QByteArray method;                     // "GET", "POST", ...
    QString path;                          // percent-decoded; never has "", "." or ".." segments
    QHash<QString, QString> query;         // decoded query parameters (the last one of a name wins)
    QHash<QByteArray, QByteArray> headers; // names in lower case; repeated headers joined by ", "
    QByteArray body;
    QHostAddress peer;
    bool webSocket = false; // GET with Upgrade: websocket
    QByteArray version;     // "HTTP/1.1" or "HTTP/1.0"

    QByteArray cookie(QByteArrayView name) const; // empty when absent
    QHash<QString, QString> form() const;         // application/x-www-form-urlencoded body
    // Whether the client lets the connection stay open after the response (HTTP/1.1 unless
    // "Connection: close"; HTTP/1.0 only with "Connection: keep-alive").
    bool keepAlive() const;
};

struct HttpResponse
{
    int status = 200;
    QByteArray contentType; // e.g. "text/html; charset=utf-8"
    QByteArray body;
    QList<std::pair<QByteArray, QByteArray>> headers; // extra: Set-Cookie, Location, Content-Disposition

    static HttpResponse text(int status, const QString& message); // text/plain; charset=utf-8
    static HttpResponse json(QByteArray body, int status = 200);  // application/json
    static HttpResponse redirect(const QByteArray& location);     // 303 See Other
    // The answer to a request the server turns away itself (400, 403, 408, 413, 414, 431, 500, 501,
    // 505): a Russian one-liner.
    static HttpResponse refusal(int status);

    // The value of a Set-Cookie header for a session cookie: HttpOnly, SameSite=Strict, Path=/, Secure
    // under HTTPS, lasting maxAgeSeconds (0 removes it at the browser). Bytes a cookie value may not
    // hold (blanks, quotes, commas, semicolons, backslashes, controls) are left out of the value.
    static QByteArray sessionCookie(QByteArrayView name, QByteArrayView value, qint64 maxAgeSeconds,
                                    bool secure);

    // Status line, headers (Content-Length; Connection; Cache-Control: no-store;
    // X-Content-Type-Options: nosniff; X-Frame-Options: DENY; Referrer-Policy: same-origin (a form keeps its
    // Origin, other sites learn nothing); Content-Security-Policy: default-src 'self'; img-src 'self' data:;
    // frame-ancestors 'none'), body. An extra header whose name or value holds CR, LF or NUL is left out
    // rather than let it split the response; extra Content-Length, Connection and Content-Type headers are
    // left out too (the server sets them). withBody false (an answer to HEAD) keeps Content-Length but sends
    // no body.
    QByteArray serialize(bool keepAlive, bool withBody = true) const;
};

namespace HttpParser {

struct Limits
{
    int requestLine = 8192;
    int headerBlock = 16384;
    int headerCount = 64;
    int body = 65536;
};

enum class Status { NeedMore, Complete, Refused };

struct Result
{
    Status status = Status::NeedMore;
    HttpRequest request;
    int refusal = 0;
    qsizetype consumed = 0; // Complete: the request's bytes, header block and body
    // NeedMore: the bytes the request needs in all when its header block is complete (the body is
    // still coming); 0 while the header block itself is incomplete.
    qsizetype needed = 0;
};

// data: the bytes of the connection not yet consumed. Refusals: 400 malformed / bad path (.., NUL,
// bad percent-encoding, not origin-form), 413 body over the limit, 414 request line over the limit,
// 431 header block or header count over the limit, 501 Transfer-Encoding (chunked not taken), 505 not
// HTTP/1.x.
Result parse(QByteArrayView data, const Limits& limits);

// application/x-www-form-urlencoded: "+" is a blank, %XX a byte, names and values UTF-8. A pair with
// a bad escape or a NUL is left out. The last pair of a name wins.
QHash<QString, QString> decodeForm(QByteArrayView text);

} // namespace HttpParser
