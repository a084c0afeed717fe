// bench-unpack: the benchmark's yardstick for installing and checking a
// release with nothing but OpenSSL and zlib, one file after another on one
// core, streaming every file through fixed buffers.
//
//   bench-unpack install MANIFEST PACKDIR OUTDIR
//     for each file: reads PACKDIR/PACK, deciphers it with OpenSSL's RC4
//     (when it has a key), inflates it with zlib, writes OUTDIR/PATH, takes
//     its SHA-256 on the way, compares it with the expected digest, applies
//     the permission bits and deletes the pack.
//   bench-unpack hash MANIFEST DIR
//     for each file: SHA-256 of DIR/PATH, compared with the expected digest.
//
// MANIFEST has one line per file, fields separated by tabs:
//   PATH PACK KEY SIZE MODE SHA256
// (KEY may be empty; MODE is decimal, 0 leaves the bits alone).
// Exits 0 when every file was handled and matched, 1 at the first failure
// (with a message naming the file), 2 for a usage error.
#include <errno.h>
#include <fcntl.h>
#include <openssl/evp.h>
#include <openssl/provider.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

enum { kChunk = 256 * 1024, kLine = 4096 };

struct entry {
  char* path;
  char* pack;
  char* key;
  unsigned long long size;
  unsigned mode;
  char* sha;
};

// The tools every file shares: contexts are reset per file, not remade.
struct tools {
  EVP_MD* sha256;
  EVP_CIPHER* rc4;
  EVP_MD_CTX* digest;
  EVP_CIPHER_CTX* cipher;
  unsigned char* in;
  unsigned char* plain;
  unsigned char* out;
};

static int fail(const char* what, const char* path) {
  fprintf(stderr, "bench-unpack: %s: %s\n", what, path);
  return -1;
}

// Splits one manifest line in place. Returns 0, or -1 for a malformed line.
static int parse_entry(char* line, struct entry* e) {
  char* fields[6];
  line[strcspn(line, "\r\n")] = '\0';
  for (int i = 0; i < 6; ++i) {
    fields[i] = strsep(&line, "\t");
    if (fields[i] == NULL) return -1;
  }
  e->path = fields[0];
  e->pack = fields[1];
  e->key = fields[2];
  e->size = strtoull(fields[3], NULL, 10);
  e->mode = (unsigned)strtoul(fields[4], NULL, 10);
  e->sha = fields[5];
  return e->path[0] != '\0' && strlen(e->sha) == 64 ? 0 : -1;
}

static void to_hex(const unsigned char* bytes, unsigned length, char* hex) {
  static const char digits[] = "0123456789abcdef";
  for (unsigned i = 0; i < length; ++i) {
    hex[2 * i] = digits[bytes[i] >> 4];
    hex[2 * i + 1] = digits[bytes[i] & 15];
  }
  hex[2 * length] = '\0';
}

static int digest_matches(struct tools* t, const char* want) {
  unsigned char md[EVP_MAX_MD_SIZE];
  unsigned length = 0;
  char hex[2 * EVP_MAX_MD_SIZE + 1];
  if (EVP_DigestFinal_ex(t->digest, md, &length) != 1) return 0;
  to_hex(md, length, hex);
  return strcasecmp(hex, want) == 0;
}

// Creates every missing directory above PATH (which names a file).
static int make_parents(const char* path) {
  char copy[kLine];
  if (strlen(path) >= sizeof copy) return -1;
  strcpy(copy, path);
  for (char* p = strchr(copy + 1, '/'); p != NULL; p = strchr(p + 1, '/')) {
    *p = '\0';
    if (mkdir(copy, 0755) != 0 && errno != EEXIST) return -1;
    *p = '/';
  }
  return 0;
}

static int write_all(int fd, const unsigned char* data, size_t length) {
  while (length > 0) {
    ssize_t n = write(fd, data, length);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return -1;
    data += n;
    length -= (size_t)n;
  }
  return 0;
}

// Inflates DATA[0..length) and writes and digests the output. Returns 0
// while the stream goes on, 1 at its end, -1 on an error.
static int inflate_chunk(struct tools* t, z_stream* z, unsigned char* data, size_t length, int out,
                         unsigned long long* written, unsigned long long limit) {
  z->next_in = data;
  z->avail_in = (uInt)length;
  int rc = Z_OK;
  do {
    z->next_out = t->out;
    z->avail_out = kChunk;
    rc = inflate(z, Z_NO_FLUSH);
    // No progress with all input used means only that more input is needed.
    if (rc == Z_BUF_ERROR && z->avail_in == 0) return 0;
    if (rc != Z_OK && rc != Z_STREAM_END) return -1;
    size_t have = kChunk - z->avail_out;
    *written += have;
    if (*written > limit) return -1;  // longer than the document allows
    if (write_all(out, t->out, have) != 0) return -1;
    if (EVP_DigestUpdate(t->digest, t->out, have) != 1) return -1;
  } while (rc != Z_STREAM_END && (z->avail_in > 0 || z->avail_out == 0));
  return rc == Z_STREAM_END ? 1 : 0;
}

// Streams one pack into its file: read, decipher, inflate, write, digest.
static int unpack_stream(struct tools* t, const struct entry* e, int in, int out) {
  z_stream z;
  memset(&z, 0, sizeof z);
  if (inflateInit(&z) != Z_OK) return -1;
  int keyed = e->key[0] != '\0';
  unsigned long long written = 0;
  int state = 0;
  ssize_t n;
  while (state == 0 && (n = read(in, t->in, kChunk)) > 0) {
    int length = (int)n;
    unsigned char* data = t->in;
    if (keyed) {
      if (EVP_CipherUpdate(t->cipher, t->plain, &length, t->in, (int)n) != 1) break;
      data = t->plain;
    }
    state = inflate_chunk(t, &z, data, (size_t)length, out, &written, e->size);
  }
  inflateEnd(&z);
  return state == 1 ? 0 : -1;
}

static int start_file(struct tools* t, const struct entry* e) {
  if (EVP_DigestInit_ex(t->digest, t->sha256, NULL) != 1) return -1;
  if (e->key[0] == '\0') return 0;
  if (strlen(e->key) != 16) return -1;
  return EVP_CipherInit_ex(t->cipher, t->rc4, NULL, (const unsigned char*)e->key, NULL, 0) == 1
             ? 0
             : -1;
}

static int install_one(struct tools* t, const struct entry* e, const char* packdir,
                       const char* outdir) {
  char pack[kLine], dest[kLine];
  if (snprintf(pack, sizeof pack, "%s/%s", packdir, e->pack) >= (int)sizeof pack ||
      snprintf(dest, sizeof dest, "%s/%s", outdir, e->path) >= (int)sizeof dest) {
    return fail("path too long", e->path);
  }
  if (start_file(t, e) != 0) return fail("cannot set up the cipher or digest", e->path);
  int in = open(pack, O_RDONLY);
  if (in < 0) return fail("cannot open the pack", pack);
  if (make_parents(dest) != 0) {
    close(in);
    return fail("cannot create the directories of", dest);
  }
  int out = open(dest, O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (out < 0) {
    close(in);
    return fail("cannot create", dest);
  }
  int rc = unpack_stream(t, e, in, out);
  close(in);
  if (close(out) != 0) rc = -1;
  if (rc != 0) return fail("cannot unpack", pack);
  if (!digest_matches(t, e->sha)) return fail("digest does not match", dest);
  if (e->mode != 0 && chmod(dest, e->mode & 0777) != 0) return fail("cannot chmod", dest);
  if (unlink(pack) != 0) return fail("cannot delete the pack", pack);
  return 0;
}

static int hash_one(struct tools* t, const struct entry* e, const char* dir) {
  char path[kLine];
  if (snprintf(path, sizeof path, "%s/%s", dir, e->path) >= (int)sizeof path) {
    return fail("path too long", e->path);
  }
  int in = open(path, O_RDONLY);
  if (in < 0) return fail("cannot open", path);
  if (EVP_DigestInit_ex(t->digest, t->sha256, NULL) != 1) {
    close(in);
    return fail("cannot set up the digest for", path);
  }
  ssize_t n;
  while ((n = read(in, t->in, kChunk)) > 0) EVP_DigestUpdate(t->digest, t->in, (size_t)n);
  close(in);
  if (n < 0) return fail("cannot read", path);
  if (!digest_matches(t, e->sha)) return fail("digest does not match", path);
  return 0;
}

static int open_tools(struct tools* t) {
  memset(t, 0, sizeof *t);
  // RC4 lives in OpenSSL 3's legacy provider; SHA-256 in the default one.
  if (OSSL_PROVIDER_load(NULL, "legacy") == NULL || OSSL_PROVIDER_load(NULL, "default") == NULL) {
    fprintf(stderr, "bench-unpack: cannot load OpenSSL's legacy and default providers\n");
    return -1;
  }
  t->sha256 = EVP_MD_fetch(NULL, "SHA256", NULL);
  t->rc4 = EVP_CIPHER_fetch(NULL, "RC4", NULL);
  t->digest = EVP_MD_CTX_new();
  t->cipher = EVP_CIPHER_CTX_new();
  t->in = malloc(kChunk);
  t->plain = malloc(kChunk);
  t->out = malloc(kChunk);
  if (t->sha256 && t->rc4 && t->digest && t->cipher && t->in && t->plain && t->out) return 0;
  fprintf(stderr, "bench-unpack: cannot set up SHA-256 and RC4\n");
  return -1;
}

static void close_tools(struct tools* t) {
  EVP_MD_free(t->sha256);
  EVP_CIPHER_free(t->rc4);
  EVP_MD_CTX_free(t->digest);
  EVP_CIPHER_CTX_free(t->cipher);
  free(t->in);
  free(t->plain);
  free(t->out);
}

// Runs the mode over every manifest line. Returns the exit status.
static int run(int install, const char* manifest, const char* dir1, const char* dir2) {
  FILE* list = fopen(manifest, "r");
  if (list == NULL) {
    fail("cannot open the manifest", manifest);
    return 1;
  }
  struct tools t;
  int status = open_tools(&t) == 0 ? 0 : 1;
  char line[kLine];
  long count = 0;
  while (status == 0 && fgets(line, sizeof line, list) != NULL) {
    struct entry e;
    ++count;
    if (parse_entry(line, &e) != 0) {
      fprintf(stderr, "bench-unpack: %s: line %ld is malformed\n", manifest, count);
      status = 1;
    } else if ((install ? install_one(&t, &e, dir1, dir2) : hash_one(&t, &e, dir1)) != 0) {
      status = 1;
    }
  }
  fclose(list);
  close_tools(&t);
  return status;
}

int main(int argc, char** argv) {
  if (argc == 5 && strcmp(argv[1], "install") == 0) return run(1, argv[2], argv[3], argv[4]);
  if (argc == 4 && strcmp(argv[1], "hash") == 0) return run(0, argv[2], argv[3], NULL);
  fprintf(stderr,
          "usage: bench-unpack install MANIFEST PACKDIR OUTDIR\n"
          "       bench-unpack hash MANIFEST DIR\n");
  return 2;
}
