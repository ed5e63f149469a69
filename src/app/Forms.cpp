#include "app/Forms.h"

Forms& forms()
{
    static Forms instance;
    return instance;
}
