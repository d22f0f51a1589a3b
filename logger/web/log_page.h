// The page of ohmlog --serve, made at build time from logger/page (cmake/embed_page.cmake).
#pragma once

#include <cstddef>

namespace logbook {

extern const char PAGE_HTML[];
extern const std::size_t PAGE_HTML_SIZE;

} // namespace logbook
