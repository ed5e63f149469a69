#pragma once

#include <QString>

#include <stdexcept>

// The one error type of the program: the settings file, the database layer and the conversions raise
// it with the message the operator sees in the error box. Whoever runs an operation on behalf of the
// operator (a menu item, a button, a dispatcher tick) catches it and shows the box; nothing else does.
class AppError : public std::runtime_error
{
public:
    explicit AppError(const QString& message) : std::runtime_error(message.toStdString()), m_message(message)
    {
    }

    const QString& message() const noexcept { return m_message; }

private:
    QString m_message;
};
