#include "engine/hugearray.h"

#ifdef __linux__
#include <sys/mman.h>
#include <unistd.h>
#endif

QByteArray hugePageArray(qsizetype size)
{
    QByteArray array(size, Qt::Uninitialized);
#if defined(__linux__) && defined(MADV_HUGEPAGE)
    // Only the whole pages inside the array are advised; the advice is taken while the memory is
    // still untouched, and ignoring it (no huge pages here) costs nothing.
    const auto page = quintptr(sysconf(_SC_PAGESIZE));
    const auto begin = (quintptr(array.data()) + page - 1) & ~(page - 1);
    const auto end = (quintptr(array.data()) + quintptr(size)) & ~(page - 1);
    if (end > begin)
        madvise(reinterpret_cast<void *>(begin), end - begin, MADV_HUGEPAGE);
#endif
    return array;
}
