#include "sc_devfs.h"

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include "paths.h"
#include "sc_debug.h"
#include "utility.h"

sc_fh sc_dev_openFile(const char *fileName, int mode) {
    if (!fileName)
        return -1;
    int flags = O_RDONLY;
    if (mode & SC_FOM_OPEN_FOR_READ_WRITE)
        flags = O_RDWR;
    else if (mode & SC_FOM_OPEN_FOR_APPEND)
        flags = O_WRONLY | O_CREAT | O_APPEND;
    else if (mode & SC_FOM_OPEN_FOR_WRITE)
        flags = O_WRONLY | O_CREAT | O_TRUNC;
    int fd;
    do {
        fd = open(fileName, flags | O_CLOEXEC, 0644);
    } while (fd < 0 && errno == EINTR);
    SC_TRACE("sc_dev_openFile: File [%s], Mode [%d] : %s\n", fileName, mode, fd < 0 ? "Fail" : "Success");
    return fd < 0 ? -1 : fd;
}

void sc_dev_closeFile(sc_fh f) {
    if (f >= 0)
        safe_close(f);
}

// Whole transfers: 0, or -1 on an error, an end of file or a bad argument.
int sc_dev_readFile(sc_fh f, void *buffer, s_32 nReadSize) {
    if (f < 0 || !buffer || nReadSize < 0)
        return -1;
    return transfer_all(static_cast<char *>(buffer), static_cast<size_t>(nReadSize),
                        [f](char *b, size_t n) { return read(f, b, n); })
               ? 0
               : -1;
}

int sc_dev_writeFile(sc_fh f, const void *buffer, s_32 nWriteSize) {
    if (f < 0 || !buffer || nWriteSize < 0)
        return -1;
    return transfer_all(static_cast<const char *>(buffer), static_cast<size_t>(nWriteSize),
                        [f](const char *b, size_t n) { return write(f, b, n); })
               ? 0
               : -1;
}

s_32 sc_dev_getFileSize(const char *fileName) {
    sc_fh f = sc_dev_openFile(fileName, SC_FOM_OPEN_FOR_READ);
    if (f < 0)
        return -1;
    struct stat st {};
    int rc = fstat(f, &st);
    sc_dev_closeFile(f);
    if (rc != 0 || st.st_size > INT32_MAX)
        return -1;
    return static_cast<s_32>(st.st_size);
}

int sc_dev_fileExist(const char *fileName) {
    sc_fh f = sc_dev_openFile(fileName, SC_FOM_OPEN_FOR_READ);
    if (f < 0)
        return 0;
    sc_dev_closeFile(f);
    return 1;
}

int sc_dev_removeFile(const char *fileName) {
    if (!sc_dev_fileExist(fileName))
        return 0;
    return unlink(fileName) == 0 ? 0 : -1;
}

int sc_dev_seek(sc_fh f, s_32 offset, int origin_pos) {
    if (f < 0)
        return 0;
    return lseek(f, offset, origin_pos) < 0 ? 0 : 1;
}

const char *sc_dev_getObjTreeFileName() {
    static std::string name;
    name = tarvi_path("/tmp/sc/treetree.dat");
    return name.c_str();
}

const char *sc_dev_getWriteTreeFileName() { return sc_dev_getObjTreeFileName(); }

void sc_dev_Clearup_File() { SC_TRACE("sc_dev_Clearup_File: called. Something needs to cleaned. FIXME!\n"); }
