#include "desktop/Resources.h"

#include <QtGlobal>

static void registerResources()
{
    Q_INIT_RESOURCE(mirto);
}

void InitMirtoResources()
{
    static const bool done = (registerResources(), true);
    Q_UNUSED(done);
}
