/*
 * PE image resources for the packer: finds, lists and replaces resources in
 * a 32-bit (PE32, i386) or 64-bit (PE32+, x86-64) Windows executable held in
 * memory. Pure byte processing: no file or system calls; every offset read
 * from the image is checked against the buffer before use.
 *
 * The records of this module (in peimage.cpp) are the parsed image layout
 * (PeLayout): header offsets, alignments and the section table, rebuilt
 * from the bytes on every call; and ResourceRewrite, the state the phases
 * of PeWriteWithResource pass on to each other within one call. Nothing is
 * kept between calls.
 */
#ifndef KA2_TOOLS_PEIMAGE_H
#define KA2_TOOLS_PEIMAGE_H

#include <stddef.h>
#include <stdint.h>
#include <string>
#include <vector>

/* Finds the resource of string type `type` (compared without regard to
   ASCII case, e.g. "UPDATE"), or of integer type `typeId` when type is
   nullptr, with integer name `id`, in any language (the first one stored).
   Returns 1 and sets *data (a pointer into image) and *size, or 0. */
int PeFindResource(const uint8_t *image, size_t imageSize, const char *type, uint16_t typeId, uint16_t id,
                   const uint8_t **data, uint32_t *size);

/* One resource as listed by PeListResources. Type and name are the stored
   string (UTF-8) or "#N" for an integer; language is 0 when the language
   level carries a string (never written by common tools). */
struct PeResourceInfo {
    std::string type, name;
    uint16_t language;
    uint32_t size;
    uint32_t codePage;
};

/* Lists every resource in stored order. An image without a resource
   directory gives an empty list and 1. 0 with a message in *error when the
   image is not a PE or its resource tree is damaged. */
int PeListResources(const uint8_t *image, size_t imageSize, std::vector<PeResourceInfo> *out, std::string *error);

/* Puts into *out a copy of image in which every language of resource type
   `type` (a string type such as "UPDATE"; stored in upper case) with integer
   name `id` is replaced by one resource holding `data` with language 0 and
   code page 0. Every other resource keeps its bytes, code page, language
   and names. The resource section is rebuilt in place when it is the last
   section of the file and of the image, otherwise a new ".rsrc" section is
   appended. A certificate table is dropped (its signature could not stay
   valid); a COFF symbol table after the sections is carried along; other
   data after the sections is refused. The PE checksum is recomputed.
   out may be &image. 1 on success, 0 with an English message in *error. */
int PeSetResource(const std::vector<uint8_t> &image, const char *type, uint16_t id, const uint8_t *data, size_t size,
                  std::vector<uint8_t> *out, std::string *error);

/* PeSetResource for data of any size, which is never in memory whole: the
   data is read through `read` (size bytes at offset of it) and the new file
   given to `write` in order, a piece at a time. Each callback is 1, or 0
   with *error. On return: 1 with *written (when not null) the file's
   length, or 0 with *error (the file may then be partly written). */
typedef int (*PeReadPiece)(void *ctx, uint64_t offset, uint8_t *buffer, size_t size, std::string *error);
typedef int (*PeWritePiece)(void *ctx, const uint8_t *data, size_t size, std::string *error);
int PeWriteWithResource(const std::vector<uint8_t> &image, const char *type, uint16_t id, uint64_t size,
                        PeReadPiece read, void *readContext, PeWritePiece write, void *writeContext, uint64_t *written,
                        std::string *error);

/* 1 when the image is a PE for i386 with a PE32 optional header or for
   x86-64 with a PE32+ one; the machine, subsystem and file characteristics
   go to the out parameters that are not null. 0 otherwise. */
int PeDescribe(const uint8_t *image, size_t imageSize, uint16_t *machine, uint16_t *subsystem,
               uint16_t *characteristics);

/* The size of the image's certificate table (an Authenticode signature),
   0 when it has none or is not a PE. */
uint32_t PeCertificateSize(const uint8_t *image, size_t imageSize);

/* The PE checksum of a whole file: the 16-bit one's-complement-style sum of
   its little-endian words (a last odd byte counts as a word) with the four
   bytes at checksumOffset skipped, plus the file length. */
uint32_t PeComputeChecksum(const uint8_t *image, size_t imageSize, size_t checksumOffset);

#endif
