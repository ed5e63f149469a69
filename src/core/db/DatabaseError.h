#pragma once

#include "core/base/AppError.h"

namespace db {

// A failure of the database itself, with SQLite's primary result code beside the operator's text,
// so that a caller can tell a file that is only unavailable for now (locked, read-only, disk full)
// from a statement that can never succeed. Every catch of AppError still catches it.
class DatabaseError : public AppError
{
public:
    DatabaseError(int code, const QString& message) : AppError(message), m_code(code & 0xFF) {}

    int code() const noexcept { return m_code; }

private:
    int m_code;
};

} // namespace db
