// Marks what this stand-in host adds beyond the host interface a plug-in may
// rely on. In a plug-in build (TZV58_PLUGIN_BUILD) a use of such a member is
// a deprecation error under -Werror, and the stand-in's own headers refuse to
// be included at all.
#pragma once

#ifdef TZV58_PLUGIN_BUILD
#define TZV58_HOST_ONLY [[deprecated("stand-in host only: not part of the controller's host interface")]]
#else
#define TZV58_HOST_ONLY
#endif
