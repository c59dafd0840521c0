#pragma once
// Defines a leaf routine in assembly that executes `body` and returns, for
// platformRunGuarded: nothing touches the stack before the instruction.
#define GUARD_STR_(x) #x
#define GUARD_STR(x) GUARD_STR_(x)

#if defined(_WIN32)
#define GUARD_ROUTINE_TYPE(symbol) ".def " symbol "; .scl 2; .type 32; .endef\n"
#define GUARD_ROUTINE_SIZE(symbol) ""
#else
#define GUARD_ROUTINE_TYPE(symbol) ".type " symbol ", @function\n"
#define GUARD_ROUTINE_SIZE(symbol) ".size " symbol ", .-" symbol "\n"
#endif

#define DEFINE_GUARDED_ROUTINE(name, body)                                     \
    extern "C" void name();                                                    \
    asm(".text\n"                                                              \
        ".globl " GUARD_STR(__USER_LABEL_PREFIX__) #name "\n"                  \
        GUARD_ROUTINE_TYPE(GUARD_STR(__USER_LABEL_PREFIX__) #name)             \
        GUARD_STR(__USER_LABEL_PREFIX__) #name ":\n\t"                         \
        body "\n\t"                                                            \
        "ret\n"                                                                \
        GUARD_ROUTINE_SIZE(GUARD_STR(__USER_LABEL_PREFIX__) #name));
