# What the POSIX system the tool is built for offers, found by compiling
# against its headers (cross builds included: nothing is run), and written
# to generated/features_posix.h. The code asks these, never which system it
# is; where a feature is missing it uses a real alternative or refuses, and
# the README says what a build without it lacks.
include(CheckCXXSourceCompiles)
include(CheckCXXSymbolExists)

check_cxx_symbol_exists(pipe2 "fcntl.h;unistd.h" ZODEVIR_HAVE_PIPE2)
check_cxx_symbol_exists(explicit_bzero "string.h" ZODEVIR_HAVE_EXPLICIT_BZERO)
check_cxx_symbol_exists(syncfs "unistd.h" ZODEVIR_HAVE_SYNCFS)
check_cxx_symbol_exists(F_FULLFSYNC "fcntl.h" ZODEVIR_HAVE_F_FULLFSYNC)
check_cxx_symbol_exists(PR_SET_DUMPABLE "sys/prctl.h" ZODEVIR_HAVE_PRCTL_DUMPABLE)
check_cxx_symbol_exists(renameat2 "stdio.h" ZODEVIR_HAVE_RENAMEAT2)
# Extended attributes (and with them POSIX ACLs) as Linux has them; other
# systems' calls of the same names take other arguments.
check_cxx_source_compiles([[
#include <sys/xattr.h>
int main()
{
    char b[1];
    return static_cast<int>(fgetxattr(0, "user.a", b, 1) + getxattr("/", "user.a", b, 1) +
                            flistxattr(0, b, 1) + listxattr("/", b, 1)) +
           fsetxattr(0, "user.a", b, 1, 0) + fremovexattr(0, "user.a");
}]] ZODEVIR_HAVE_LINUX_XATTR)
# A file system's kind by its magic number: the process file system (for
# descriptor folders) and overlayfs.
check_cxx_source_compiles([[
#include <linux/magic.h>
#include <sys/vfs.h>
int main()
{
    struct statfs fs {};
    return fstatfs(0, &fs) == 0 && (fs.f_type == PROC_SUPER_MAGIC || fs.f_type == OVERLAYFS_SUPER_MAGIC);
}]] ZODEVIR_HAVE_STATFS_MAGIC)
# Block devices traced to what lies beneath them: loop devices' backing
# files, and partitions' whole disks through sysfs device numbers.
check_cxx_source_compiles([[
#include <linux/loop.h>
#include <sys/ioctl.h>
#include <sys/sysmacros.h>
int main()
{
    loop_info64 info {};
    return ioctl(0, LOOP_GET_STATUS64, &info) + static_cast<int>(major(makedev(1, 2)));
}]] ZODEVIR_HAVE_LOOP_DEVICES)

configure_file(${PROJECT_SOURCE_DIR}/cli/posix/features_posix.h.in
  ${PROJECT_BINARY_DIR}/cli/generated/features_posix.h)
