#include <nmb/test/meta_methods.h>

#include <QMetaMethod>

namespace nmb::test {

QStringList declared_methods(const QMetaObject& meta)
{
    QStringList methods;
    for (int i = meta.methodOffset(); i < meta.methodCount(); ++i)
        methods.append(QString::fromLatin1(meta.method(i).methodSignature()));
    return methods;
}

} // namespace nmb::test
