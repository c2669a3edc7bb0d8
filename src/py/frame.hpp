// The call frame, by concern: the error value and Result (error.hpp), the guard (guard.hpp), threads that
// the interpreter ends at shutdown (thread_exit.hpp), conversions (conversions.hpp), process caches
// (caches.hpp), and declarations with their binding (binding.hpp).
#pragma once

#include "binding.hpp"
#include "caches.hpp"
#include "conversions.hpp"
#include "error.hpp"
#include "guard.hpp"
#include "thread_exit.hpp"
