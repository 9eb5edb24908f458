// Scratch directories, whole files, the simulator's summary numbers and the
// test images.
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "image/image.h"
#include "testkit.h"

namespace testkit {

std::string make_scratch_dir(void)
{
    char templ[] = "/tmp/fwu-test.XXXXXX";
    const char *dir = mkdtemp(templ);
    return dir ? std::string(dir) : std::string();
}

int make_dirs(const std::string &path)
{
    for (size_t slash = path.find('/', 1); slash != std::string::npos;
         slash = path.find('/', slash + 1))
        mkdir(path.substr(0, slash).c_str(), 0700);
    return mkdir(path.c_str(), 0700) == 0 || errno == EEXIST ? 0 : -1;
}

int write_text_file(const std::string &path, const std::string &text)
{
    size_t slash = path.rfind('/');
    if (slash != std::string::npos && slash > 0 && make_dirs(path.substr(0, slash)) != 0)
        return -1;
    int fd = open(path.c_str(), O_CREAT | O_WRONLY | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0)
        return -1;
    ssize_t n = write(fd, text.data(), text.size());
    close(fd);
    return n == (ssize_t)text.size() ? 0 : -1;
}

// Removes path and, for a directory (never followed through a link),
// everything under it.
static void remove_tree(const std::string &path)
{
    struct stat st;
    if (lstat(path.c_str(), &st) != 0)
        return;
    if (S_ISDIR(st.st_mode)) {
        if (DIR *d = opendir(path.c_str())) {
            while (struct dirent *e = readdir(d))
                if (strcmp(e->d_name, ".") != 0 && strcmp(e->d_name, "..") != 0)
                    remove_tree(path + "/" + e->d_name);
            closedir(d);
        }
        rmdir(path.c_str());
    } else {
        unlink(path.c_str());
    }
}

void remove_scratch_dir(const std::string &dir)
{
    if (!dir.empty())
        remove_tree(dir);
}

Bytes read_file(const std::string &path)
{
    Bytes bytes;
    FILE *f = fopen(path.c_str(), "rb");
    if (!f)
        return bytes;
    unsigned char buf[8192];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, f)) > 0)
        bytes.insert(bytes.end(), buf, buf + n);
    fclose(f);
    return bytes;
}

std::string read_text(const std::string &path)
{
    Bytes bytes = read_file(path);
    return std::string(bytes.begin(), bytes.end());
}

long long json_number(const std::string &json, const std::string &name)
{
    size_t from = 0, to = json.size();
    std::string key = name;
    size_t dot = name.find('.');
    if (dot != std::string::npos) {
        size_t group = json.find("\"" + name.substr(0, dot) + "\":{");
        if (group == std::string::npos)
            return -1;
        from = group;
        to = json.find('}', group);
        key = name.substr(dot + 1);
    }
    size_t at = json.find("\"" + key + "\":", from);
    if (at == std::string::npos || at > to)
        return -1;
    return atoll(json.c_str() + at + key.size() + 3);
}

Bytes test_pattern(size_t size, unsigned seed)
{
    Bytes raw(size);
    for (size_t i = 0; i < size; i++)
        raw[i] = (unsigned char)(((i + seed) * 151) ^ (i >> 9) ^ seed);
    return raw;
}

Bytes padded_bytes(const DeviceLink *link)
{
    if (link->image == NULL || link->image_size <= 0)
        return Bytes();
    return Bytes(link->image, link->image + link->image_size);
}

Bytes padded_pattern(size_t size, unsigned seed)
{
    const Bytes raw = test_pattern(size, seed);
    DeviceLink padding;
    init_link(&padding);
    if (pad_image(&padding, raw.data(), (int64_t)raw.size()) != 0)
        return Bytes();
    Bytes image = padded_bytes(&padding);
    free((void *)padding.image);
    return image;
}

}  // namespace testkit
