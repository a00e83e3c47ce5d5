# Embeds the site page in the program: cmake -DIN=page.html -DOUT=page.cpp -P embed_page.cmake
#
# Writes OUT with the page's bytes (SITE_PAGE_HTML, SITE_PAGE_HTML_SIZE) and
# its Content-Security-Policy (SITE_PAGE_CSP), which allows the page's one
# inline <script> and one inline <style> by their SHA-256 and nothing else
# but requests to its own origin. The page must be ASCII (the hashes are
# taken over the bytes as they stand), hold one bare <script> and one bare
# <style>, and stay under 100 KB; anything else fails the build.
cmake_minimum_required(VERSION 3.16)

set(LIMIT 102400)

# The base64 of the bytes a hex string spells.
function(hex_to_base64 hex out)
  set(alphabet "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/")
  string(LENGTH "${hex}" n)
  set(result "")
  set(i 0)
  while(i LESS n)
    string(SUBSTRING "${hex}" ${i} 6 chunk)
    string(LENGTH "${chunk}" got)
    math(EXPR missing "(6 - ${got}) / 2")
    while(got LESS 6)
      string(APPEND chunk "00")
      math(EXPR got "${got} + 2")
    endwhile()
    math(EXPR v "0x${chunk}")
    math(EXPR keep "4 - ${missing}")
    set(k 0)
    foreach(shift 18 12 6 0)
      if(k LESS keep)
        math(EXPR idx "(${v} >> ${shift}) & 63")
        string(SUBSTRING "${alphabet}" ${idx} 1 c)
      else()
        set(c "=")
      endif()
      string(APPEND result "${c}")
      math(EXPR k "${k} + 1")
    endforeach()
    math(EXPR i "${i} + 6")
  endwhile()
  set(${out} "${result}" PARENT_SCOPE)
endfunction()

# 'sha256-...' of the text between <tag> and </tag>, found exactly once.
function(inline_hash content tag out)
  string(FIND "${content}" "<${tag}>" open)
  string(FIND "${content}" "<${tag}>" again REVERSE)
  string(FIND "${content}" "</${tag}>" close)
  if(open EQUAL -1 OR close EQUAL -1 OR NOT open EQUAL again OR close LESS open)
    message(FATAL_ERROR "${IN}: the page needs exactly one bare <${tag}> ... </${tag}>")
  endif()
  string(LENGTH "<${tag}>" skip)
  math(EXPR from "${open} + ${skip}")
  math(EXPR len "${close} - ${from}")
  string(SUBSTRING "${content}" ${from} ${len} body)
  string(SHA256 hex "${body}")
  hex_to_base64("${hex}" b64)
  set(${out} "'sha256-${b64}'" PARENT_SCOPE)
endfunction()

file(SIZE "${IN}" size)
if(size GREATER LIMIT)
  message(FATAL_ERROR "${IN}: ${size} bytes; the page must stay under ${LIMIT}")
endif()
file(READ "${IN}" bytes HEX)
string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," array "${bytes}")
if(array MATCHES "0x[89a-f]")
  message(FATAL_ERROR "${IN}: the page must be ASCII (write other characters as &...; or \\u....)")
endif()
file(READ "${IN}" content)
inline_hash("${content}" script script_hash)
inline_hash("${content}" style style_hash)
set(csp "default-src 'none'; script-src ${script_hash}; style-src ${style_hash}; connect-src 'self'; img-src 'self'; base-uri 'none'; form-action 'none'; frame-ancestors 'none'")

string(REGEX REPLACE "(0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,)" "\\1\n"
       array "${array}")
file(WRITE "${OUT}.tmp"
  "// Generated from tools/live/site_page.html by cmake/embed_page.cmake; edit the page, not this file.\n"
  "#include \"tools/live/site_page.h\"\n\n"
  "namespace tzv58::tool {\n\n"
  "const unsigned char SITE_PAGE_HTML[] = {\n${array}};\n"
  "const size_t SITE_PAGE_HTML_SIZE = sizeof SITE_PAGE_HTML;\n"
  "const char* const SITE_PAGE_CSP =\n    \"${csp}\";\n\n"
  "}  // namespace tzv58::tool\n")
file(RENAME "${OUT}.tmp" "${OUT}")
