#include "journal/Forms.h"

Forms& forms()
{
    static Forms instance;
    return instance;
}
