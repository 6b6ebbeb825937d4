// The class's special members, and the one way every conversion reports a refusal.
#include "tpyqtwrapping_p.h"

TPyQtWrapping &TPyQtWrapping::operator=(const TPyQtWrapping &) = default;
TPyQtWrapping &TPyQtWrapping::operator=(TPyQtWrapping &&) = default;

void TPyQtWrapping::showErrorMessage(const QString &message)
{
    const QByteArray utf8 = message.toUtf8();
    PyErr_SetString(PyExc_TypeError, utf8.constData());
    PyErr_Print();
    // The exception hook may be replaced by one that raises; nothing stays pending either way.
    PyErr_Clear();
}
