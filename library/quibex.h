/*
 * quibex: a formula engine for real, complex and 32-bit integer values.
 *
 * A host hands formulas to the library as text, compiles each one into a
 * numbered row of a formula table, and evaluates compiled rows as often as it
 * likes with argument values it supplies. There is one engine per number
 * type, each with its own formula table:
 *
 *   real     double          no prefix   (rcom, rcal, setfornum, ...)
 *   complex  QxComplex       prefix C    (Ccom, Ccal, Csetfornum, ...)
 *   integer  int32_t         prefix I    (Icom, Ical, Isetfornum, ...)
 *
 * plus functions shared by all three. Every function also exists under the
 * name STD<name> (STDrcom, STDCsetfornum, STDver, ...): the twin has the same
 * signature and behaves identically, but uses the callee-cleans convention
 * (QX_STDCALL); see "Calling conventions" below.
 *
 * Calling order: register constants and host functions and size the string
 * table as needed; size the three formula tables; call userci(); then compile
 * and evaluate in any mix; finally deletedll().
 *
 * The library never prints, throws or aborts. Compile errors are returned as
 * codes (QX_ERR_*). Run-time errors are kept per engine (first error wins)
 * and fetched with fcerr / Cfcerr / Ifcerr. All state is library-wide and
 * unlocked: call the library from one thread at a time (host functions may
 * call back into it during an evaluation). fcinterrupt() alone may be called
 * from any thread at any time.
 *
 * Addresses returned by the query functions, and how long they stay valid
 * (deletedll() ends all of them):
 *   getin(r), Cgetin(r), Igetin(r)  row r's value array: until row r is
 *       compiled again (the row then gets new arrays; call getin again) or
 *       its table is resized. A host writes the row's variables there (the
 *       arguments, locals and segment variables, which come first); the
 *       slots after them hold the row's constants, among them the function
 *       indices and argument counts of its calls, which the evaluator
 *       trusts: a host must not write those.
 *   getallin, getfortrue, getvarnum and their twins  the table's columns:
 *       until the table is resized; the entries of getallin change when a
 *       row is compiled again.
 *   getfcdoubles, Cgetfccomplexs, Igetfclongs  the number store: until a
 *       formula re-creates it (newdoubles, newcomplexs, newlongs), whoever
 *       evaluates that formula.
 *   getfcdoublearrays, Cgetfccomplexarrays, Igetfclongarrays  the array
 *       store and its lengths: until a formula re-creates it (newdoublearrays,
 *       newcomplexarrays, newlongarrays); array k's elements also until a
 *       formula re-creates array k (newdoublearray and its twins).
 *   getfcstr  the string table: until the next setfcstrmax (any call, also
 *       one that fails); its entries change as formulas are compiled. The
 *       texts are the library's: read them, do not write or free them, and
 *       do not keep a text across a compile (its slot may be reused).
 *   ver, comerrtext, fcerrtext  static texts, never null, valid while the
 *       library is loaded.
 *   fcerr/Cfcerr/Ifcerr *name  the very pointer recorded with the error,
 *       never a copy: a built-in function's name or one of the library's own
 *       names (static, valid while the library is loaded), or the pointer a
 *       host passed to setfcerr (valid as long as the host keeps that text).
 *       Null before any error was recorded.
 *
 * Pointers the host passes in, and how long the library uses them:
 *   rcom/Ccom/Icom text  read during the call only, never written, not
 *       kept. (The formula's name and string literals are copied into the
 *       string table.)
 *   rcal/Ccal/Ical args  lastArg + 1 values, read during the call only;
 *       may be null when the formula takes no argument.
 *   lastArg, count, lengths  written during the call only.
 *   setfcfun/Csetfcfun/Isetfcfun names, argRules, handlers, and every name
 *       text; setdoubleconst/Csetcomplexconst/Isetlongconst names, values,
 *       and every name text: kept BY ADDRESS, NOT COPIED. They must stay
 *       valid and unchanged until the next registration of the same kind for
 *       that engine, or deletedll(). A host that reuses or frees these arrays
 *       changes what later compiles see (constants' values are copied into a
 *       formula when it is compiled, so formulas compiled earlier keep their
 *       values; host-function names are read by every compile, handlers by
 *       every call).
 *   fcerrtext name  read during the call only.
 *   setfcerr/Csetfcerr/Isetfcerr name  kept by address in the error record
 *       and handed back by fcerr: pass a text that outlives the record, such
 *       as a string literal or the function's registered name.
 *
 * Names in formulas (see docs/language.md for the whole language):
 *   - Formulas are lower-cased before they are compiled: a constant or host
 *     function registered with a capital letter can never be used.
 *   - A host function named like a built-in second-level function of its
 *     engine (for, one, max, sum, getd, ...) is registered but never called:
 *     built-in functions come first when a call is resolved. A host function
 *     named like a one-argument function (sin, sqrt, ...) replaces it in
 *     formulas compiled after the registration.
 *   - A formula variable hides a named constant of the same name; in the
 *     complex engine "i" is the imaginary unit and hides a constant "i".
 */
#ifndef QUIBEX_H
#define QUIBEX_H

#include <stdint.h>

/*
 * Version of this header and of the library built with it; ver() reports
 * "quibex formula engine " QX_VERSION_STRING. The build takes the project
 * version from these lines (CMakeLists.txt), so they are the one place it is
 * set. Libraries of one major version are interchangeable (the shared
 * object is libquibex.so.<major>).
 */
#define QX_VERSION_MAJOR 1
#define QX_VERSION_MINOR 0
#define QX_VERSION_PATCH 0
#define QX_VERSION_STRING "1.0.0"

/*
 * QX_API marks the exported functions. On Windows a host imports them from
 * quibex.dll (__declspec(dllimport)); the library's own build exports them
 * (QX_BUILDING_LIBRARY), and a program linked against a static copy of the
 * library defines QX_STATIC. Elsewhere they are the shared object's visible
 * symbols.
 */
#ifndef QX_API
#if defined(_WIN32) && defined(QX_BUILDING_LIBRARY)
#define QX_API __declspec(dllexport)
#elif defined(_WIN32) && !defined(QX_STATIC)
#define QX_API __declspec(dllimport)
#elif defined(_WIN32)
#define QX_API
#else
#define QX_API __attribute__((visibility("default")))
#endif
#endif

/*
 * Calling conventions. The plain names use the platform's ordinary C
 * convention (on 32-bit x86 the caller removes the arguments). The STD twins
 * remove their own arguments on 32-bit x86 (stdcall); on other targets there
 * is only one convention and a twin is the plain function under a second
 * name. A twin without parameters is the plain entry point on every target.
 *
 * 32-bit x86 notes:
 * - Ccal, Ccals and their twins return QxComplex through a hidden result
 *   address that the caller passes. Following the platform's C rules, the
 *   plain Ccal/Ccals remove that address from the stack themselves (ret 4),
 *   although they leave their ordinary arguments to the caller; STDCcal and
 *   STDCcals remove the address together with their arguments. A compiler
 *   that sees these declarations does this right by itself; hand-written
 *   call sequences must allow for it.
 * - real values are returned in the x87 register st(0) as the platform
 *   requires; the library itself is built with SSE2 arithmetic
 *   (-msse2 -mfpmath=sse), so its results are bit for bit those of the
 *   64-bit library.
 * - Host functions registered with setfcfun/Csetfcfun/Isetfcfun (QxRealFn,
 *   QxComplexFn, QxIntFn) are called with the plain C convention.
 *
 * 32-bit Windows (quibex.dll) differs in one point: there the caller of the
 * plain Ccal and Ccals removes the hidden result address itself, as the
 * Windows C compilers expect of every cdecl function that returns a
 * structure in memory; the library returns with a plain ret. STDCcal and
 * STDCcals still remove the address together with their two or one
 * arguments (12 or 8 bytes). A host declares them exactly as below:
 *
 *   QxComplex __cdecl Ccal(int32_t row, const QxComplex* args);
 *   QxComplex __stdcall STDCcal(int32_t row, const QxComplex* args);
 *
 * Every name is exported undecorated ("STDrcal", not "_STDrcal@8"), so
 * GetProcAddress(module, "STDrcal") finds it. The import libraries map the
 * decorated names a compiler emits for __stdcall (_STDrcal@8; @N counts 4
 * bytes per parameter, the hidden result address not included) to these
 * undecorated exports: libquibex.dll.a for MinGW, quibex.lib for MSVC.
 * On 64-bit Windows there is one convention (Microsoft x64), as on other
 * 64-bit targets.
 */
#ifndef QX_STDCALL
#if defined(_WIN32) && (defined(__i386__) || defined(_M_IX86))
#define QX_STDCALL __stdcall
#elif defined(__i386__)
#define QX_STDCALL __attribute__((stdcall))
#else
#define QX_STDCALL
#endif
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* ------------------------------------------------------------------------ */
/* Types                                                                     */
/* ------------------------------------------------------------------------ */

/* A complex value: real part first, then imaginary part (16 bytes). */
typedef struct {
  double re, im;
} QxComplex;

#ifdef __cplusplus
static_assert(sizeof(QxComplex) == 16, "QxComplex must be 16 bytes");
#elif defined(__STDC_VERSION__) && __STDC_VERSION__ >= 201112L
_Static_assert(sizeof(QxComplex) == 16, "QxComplex must be 16 bytes");
#endif

/*
 * Host functions, called by formulas like built-in functions. args[0] ..
 * args[lastIndex] are the call's arguments in source order (lastIndex is the
 * argument count minus one, -1 for none); args[lastIndex + 1] holds the
 * function's own index in the engine's function table. The slots lie on the
 * evaluator's stack and belong to the library: the handler may read and
 * overwrite them during the call, and must not keep their address, which is
 * reused after the call returns. The result replaces the call.
 */
typedef double (*QxRealFn)(int32_t lastIndex, double* args);
typedef QxComplex (*QxComplexFn)(int32_t lastIndex, QxComplex* args);
typedef int32_t (*QxIntFn)(int32_t lastIndex, int32_t* args);

/* Argument rule of a host function: argument count minus one, or these. */
#define QX_ARGS_NONE (-1) /* takes no argument */
#define QX_ARGS_ANY (-2)  /* takes any number of arguments, including none */

/* ------------------------------------------------------------------------ */
/* Compile result codes (rcom, Ccom, Icom)                                   */
/* ------------------------------------------------------------------------ */

#define QX_OK 0                        /* compiled */
#define QX_ERR_SYNTAX 1                /* syntax error */
#define QX_ERR_EMPTY 2                 /* empty formula */
#define QX_ERR_PAREN_BEFORE_EQ 3       /* ')' missing before '=' */
#define QX_ERR_NO_PARAM_LIST 4         /* no '(' before '=', or '=' at the start */
#define QX_ERR_PARAM_CHAR 5            /* bad character in the parameter list */
#define QX_ERR_PARAM_DIGIT 6           /* a parameter name starts with a digit */
#define QX_ERR_PARAM_TWICE 7           /* a parameter is named twice */
#define QX_ERR_BRACKETS 8              /* unbalanced brackets */
#define QX_ERR_PARAM_I 9               /* a parameter named i (complex only) */
#define QX_ERR_UNDEFINED_FUNCTION 10   /* undefined function */
#define QX_ERR_TOO_LONG 11             /* text too long for the work area */
#define QX_ERR_UNDEFINED_NAME 12       /* undefined name */
#define QX_ERR_BAD_NUMBER 13           /* malformed number */
#define QX_ERR_BAD_CHAR 14             /* illegal character */
#define QX_ERR_NO_MEMORY 15            /* out of memory */
#define QX_ERR_ARG_COUNT 16            /* wrong number of arguments */
#define QX_ERR_SEGMENT 17              /* a trailing segment is not name=expression */
#define QX_ERR_STRING_LITERAL 18       /* bad escape or unterminated string literal */
#define QX_ERR_NO_STRING_TABLE 19      /* literal used but no string table exists */
#define QX_ERR_TOO_MANY_LITERALS 20    /* too many literals, or text too long */
#define QX_ERR_STRING_NO_MEMORY 21     /* out of memory in the string table */
#define QX_ERR_DOLLAR_NOT_FOUND 22     /* $"name": no formula of that name */
#define QX_ERR_HASH_NOT_FOUND 23       /* #"name": no formula of that name */
#define QX_ERR_TEXT_NOT_FOUND 24       /* &"text" / @"text": text not in the table */
#define QX_ERR_STRING_TABLE_FULL 25    /* string table full */
#define QX_ERR_BAD_ROW 26              /* row outside the table, or no table (see below) */
#define QX_ERR_ROW_BUSY 27             /* row is being evaluated right now (see below) */

/* ------------------------------------------------------------------------ */
/* Run-time error numbers (fcerr, Cfcerr, Ifcerr)                            */
/* ------------------------------------------------------------------------ */
/*
 * A run-time number means what the function named in the record says; the
 * same number means different things for different functions. Every number
 * the library records, with the functions that record it (names of the
 * real engine; the complex and integer spellings record the same: getc and
 * geti as getd, newcomplexarray and newlongarray as newdoublearray, ...).
 * Host functions record numbers of their own. fcerrtext() gives the text.
 */
#define QX_RTERR_NONE 0                 /* no error pending */
#define QX_RTERR_INTERRUPTED (-3)       /* "interrupt": fcinterrupt() stopped the evaluation (or bulk call) */
#define QX_RTERR_INTERRUPTED_NAME "interrupt"
#define QX_RTERR_LEVEL_LIMIT (-2)       /* for, dowhile: loop level limit (setstackmax);
                                           call, calfor, calrfor, calcfor, califor, sum, pro,
                                           datasum, datapro, dataarraysum, simpintegrate:
                                           nesting limit or native depth; rcal, rcals, Ccal,
                                           Ccals, Ical, Icals, rcalv, Ccalv, Icalv: a host
                                           function re-entering too deep */
#define QX_RTERR_EMPTY_TABLE (-1)       /* formula-calling functions and para: target table has no rows */
#define QX_RTERR_ITERATION_LIMIT 1      /* for, dowhile, continue: iteration limit (setcyclemax) */
#define QX_RTERR_WHICH_NO_MATCH 1       /* which: no condition holds and no default, or no arguments */
#define QX_RTERR_STACKMAX_RANGE 1       /* setstackmax: limit outside 1..32766 */
#define QX_RTERR_STACKMAX_MEMORY 2      /* setstackmax: out of memory for the loop records */
#define QX_RTERR_CYCLEMAX_RANGE 1       /* setcyclemax: limit less than 2 */
#define QX_RTERR_STORE_MEMORY 1         /* newdoubles, newdoublearrays: out of memory */
#define QX_RTERR_STORE_INDEX 1          /* setd, getd, addgetd, getdadd: index outside the number store */
#define QX_RTERR_ARRAY_FEW_ARGUMENTS 1  /* newdoublearray: fewer than two arguments */
#define QX_RTERR_ARRAY_NO_STORE 2       /* newdoublearray: no array store */
#define QX_RTERR_ARRAY_STORE_INDEX 3    /* newdoublearray: array index outside the store */
#define QX_RTERR_ARRAY_MEMORY 4         /* newdoublearray: out of memory for the array */
#define QX_RTERR_ARRAY_TOO_MANY_VALUES 5 /* newdoublearray: more initial values than elements */
#define QX_RTERR_ELEMENT_NO_STORE 1     /* setda, getda, addgetda: no array store */
#define QX_RTERR_ELEMENT_ARRAY_INDEX 2  /* setda, getda, addgetda: array index outside the store */
#define QX_RTERR_ELEMENT_INDEX 3        /* setda, getda, addgetda: element index outside the array */
#define QX_RTERR_NO_ARGUMENTS 1         /* max, min: no arguments */
#define QX_RTERR_CALL_ROW 1             /* formula-calling functions, para: row outside the table */
#define QX_RTERR_CALL_NOT_COMPILED 2    /* formula-calling functions, para: row not compiled */
#define QX_RTERR_CALL_ARGUMENTS 3       /* formula-calling functions: wrong number of arguments
                                           (sum, pro, datasum, datapro, dataarraysum: also a count
                                           of fixed values outside 0..parameters) */
#define QX_RTERR_PARA_INDEX 3           /* para: parameter index outside the parameters */
#define QX_RTERR_NO_CONVERGENCE 4       /* simpintegrate: no convergence */
#define QX_RTERR_NO_FREE_PARAMETER 4    /* sum, pro, datasum, datapro, dataarraysum */
#define QX_RTERR_SUM_MEMORY 5           /* sum, pro: out of memory for the loop counters;
                                           datasum, datapro: out of memory for the values */
#define QX_RTERR_SUM_RANGE 6            /* sum, pro: start > end, step <= 0, or no finite point count */
#define QX_RTERR_DATA_POINTS 5          /* dataarraysum: fewer than one data point (or out of memory) */
#define QX_RTERR_DATA_ARRAY 6           /* dataarraysum: data array missing or too short */
#define QX_RTERR_STALE_FUNCTION 3       /* "unknown function": see below */
#define QX_RTERR_STALE_FUNCTION_NAME "unknown function"

/* ------------------------------------------------------------------------ */
/* Error texts and compile-error positions                                   */
/* ------------------------------------------------------------------------ */
/*
 * The texts are exported functions, not inline functions of this header: a
 * host that binds exports by name from another language gets them too, the
 * library keeps one table for every host, and the texts can improve without
 * rebuilding hosts. They are static, never null, and valid while the
 * library is loaded. docs/language.md quotes every one of them.
 */
/* Short English text of a compile code 0..27 (0: success); a generic text for any other code. */
QX_API const char* comerrtext(int32_t code);
/* Short English text of run-time error `number` as recorded by function `name` (the name from
   fcerr/Cfcerr/Ifcerr, of any engine); with a null or unknown name a text for the number alone.
   name is only read, during the call. */
QX_API const char* fcerrtext(int32_t number, const char* name);
/*
 * Where the last compile of that engine failed: the 0-based byte offset in
 * the text exactly as the host passed it (blanks, string literals and the
 * parameter list counted as written). -1 after a successful compile and
 * before any. Per code:
 *   1        the offending character: the second of two items that may not
 *            stand together ("1+*2": the "*"; "2x": the "x"), a leading or
 *            trailing operator, the "=" of a misplaced assignment, the first
 *            character of a name that starts with a digit before "(";
 *   2        where the missing expression should start (just after the
 *            "=" for "(x)=", the comma for ",1", the ")" for "()"); 0 for
 *            an empty or blank text;
 *   3, 4     the "=" after the parameter list (the first character for a
 *            text starting with "=");
 *   5, 6, 7, 9  the offending character or parameter name;
 *   8        a closing bracket without its partner or of the wrong kind, or
 *            the last opening bracket left open;
 *   10       the first character of the function name;
 *   12, 13   the first character of the name or number;
 *   14       the illegal character;
 *   16       the function name (wrong count, break/continue outside a
 *            loop) or the separator after an empty argument;
 *   17       the first character of the segment after its comma (the end of
 *            the text after a trailing comma);
 *   18       the backslash of a bad escape, or the opening quote of an
 *            unterminated literal;
 *   19, 20   the first string literal;
 *   21 to 25 the literal concerned, at its prefix character ($ # & @) or
 *            else its opening quote;
 *   11, 15, 26, 27  0 (they concern the text or row as a whole).
 */
QX_API int32_t comerrpos(void);
QX_API int32_t Ccomerrpos(void);
QX_API int32_t Icomerrpos(void);

/* ------------------------------------------------------------------------ */
/* Host-visible choices of this library                                      */
/* ------------------------------------------------------------------------ */
/*
 * - Compiling with rcom/Ccom/Icom into a row outside the table, or before the
 *   table is sized, returns QX_ERR_BAD_ROW. This is checked before anything
 *   else; nothing is written (not even *lastArg).
 * - Compiling into a row that is being evaluated at that moment (for example
 *   from inside a host function) returns QX_ERR_ROW_BUSY; nothing changes.
 * - setfornum/Csetfornum/Isetfornum return 0 and change nothing while a row
 *   of that table is being evaluated; deletedll does nothing while any
 *   evaluation is running.
 * - Evaluating a row outside the table, or one whose compiled flag is 0,
 *   returns 0 (complex: 0+0i) and touches nothing. getin/Cgetin/Igetin of a
 *   row outside the table return null.
 * - Run-time error QX_RTERR_STALE_FUNCTION ("unknown function"): a compiled
 *   call refers to a function index beyond the current function table (the
 *   host registered a shorter host-function list after compiling, or the
 *   table could not be rebuilt). The call yields 0 (complex: its first
 *   argument).
 * - An assignment (v=expr) stores exactly the value of expr, also when v
 *   held an infinity or NaN before, and keeps the sign of a zero (-0
 *   stays -0; complex: in each part).
 * - The variable slots of a freshly compiled row start at 0.
 * - setdoubleconst/Csetcomplexconst/Isetlongconst with a null values
 *   address (not only a null names address) register no constants.
 * - When a table is resized, every other engine's copy of it is emptied
 *   (row count 0) until the next userci().
 * - Nested evaluations (formula calls, repeated evaluation, host functions
 *   re-entering rcal/rcals) run on the native stack and are limited to a
 *   chain of 1000, whatever the level limit: a deeper call records run-time
 *   error -2 named after the calling function ("rcal", "rcals", "Ccal", ...
 *   for host re-entry) and yields 0 (complex: its first argument).
 * - Native stack: each nested evaluation (calfor, call, calrfor, calcfor,
 *   califor, sum, pro, datasum, datapro, dataarraysum, simpintegrate, and a
 *   host function re-entering rcal/rcals/Ccal/... ) also needs 64 KB of the
 *   calling thread's stack still free; with less it records -2 exactly as
 *   the chain limit does, so formula text alone cannot overflow the stack of
 *   any thread. One level of a chain takes up to about 0.7 KB (datasum; calfor
 *   about 0.3 KB) in the interpreter; these figures and the level counts
 *   below are the interpreter's (machine code takes less per level, see
 *   the machine-code notes). An evaluation the host starts itself is not
 *   checked and needs only a few KB.
 *   Minimum stack of a host thread: any size a thread can have (16 KB and
 *   up) is safe, since a chain that does not fit ends with -2 (on 16 KB at
 *   its first nested level). Nested evaluations need the 64 KB plus their
 *   levels: a 128 KB stack allows about 90 datasum levels, 256 KB about 290,
 *   1 MB the full chain of 1000. A host function called during an
 *   evaluation may use up to 48 KB of stack. The thread's stack bounds are
 *   read once per thread; on a stack the host switched to itself
 *   (coroutines) only the chain limit applies.
 * - setstackmax while loops are running keeps the records of the running
 *   loops; if its allocation fails the level limit becomes 0 (no new loop
 *   opens, error 2) and the running loops end through the pending error.
 * - Integer engine: x/0 gives 0, INT32_MIN/-1 gives INT32_MIN (wrapping),
 *   mod(x,0) and mod(x,-1) give 0; none of them records an error.
 * - A single allocation larger than 4 GiB fails (for example a store of
 *   2^31 elements): the function records its allocation error. Where the
 *   address space is 32 bits wide, a block of exactly 4 GiB fails as well.
 * - deletedll() returns the library to its state at load: registrations of
 *   constants and host functions are forgotten, limits and error records
 *   are reset, merged function tables are built again by the next sizing.
 * - A pre-pass error (compile codes 18..25) in a row whose formula used
 *   string literals marks that row not compiled (its strings were given
 *   back); otherwise the row's compiled flag is unchanged.
 * - simpintegrate makes at most 25 refinement passes (the point count doubles
 *   each pass, about 2^25 evaluations in all): reaching that cap or passing
 *   the iteration limit, whichever comes first, records error 4 and yields 0.
 *   A tolerance of 0 therefore ends with error 4 within seconds.
 * - simpintegrate with a NaN tolerance evaluates f(a) and f(b) only and
 *   yields the trapezoid value (f(a) + f(b)) * (b - a) / 2, without error.
 * - sum, pro, datasum, datapro, dataarraysum: a count c of fixed values that
 *   is negative or greater than the formula's parameter count records 3,
 *   c equal to the parameter count records 4; datasum/datapro with fewer
 *   values than c record 3. These are refused before any parameter is
 *   written.
 * - sum, pro: a range whose point count is not finite (an infinite end)
 *   records 6 like a reversed range; point counts are not cut to 32 bits.
 * - dataarraysum: an array index outside the array store, or a call before
 *   the store exists, records 6 before any parameter is written. The count
 *   N of data points is checked before the array indices: with N < 1 the
 *   fixed values are written and error 5 is recorded, whatever the indices. A formula
 *   that re-creates or shortens the arrays being summed ends the sum with
 *   error 6 (value 0) at the first element that no longer exists.
 * - Brackets around the whole formula or a whole argument list are dropped
 *   only when both are of one kind: "(1+2]" is error 8. Every other pair
 *   must be of one kind too, also the brackets of a call's argument list
 *   ("max(x,2]" is error 8). The formula name before the parameter list is
 *   ignored, brackets and all.
 * - which() without arguments records error 1 and yields 0; a which whose
 *   conditions all fail without a default keeps its first condition's value.
 * - datasum/datapro with more than 32 values after the fixed ones, and
 *   dataarraysum with more than 32 arrays, copy them to working storage;
 *   if that allocation fails they record 5 and evaluate nothing.
 * - Machine code (x86-64 builds): a row evaluated often (1000 times, by any
 *   path) is translated into machine code, which then runs instead of the
 *   interpreter with the same observable behaviour: results, value arrays,
 *   error records, loop levels and limits, host calls with their arguments
 *   and argument addresses. Only the sign and payload of a NaN result may
 *   differ (a NaN stays a NaN). Environment variable QUIBEX_JIT, read at
 *   the first evaluation: "0" interpreter only, "always" translate at the
 *   first evaluation. rcom never translates; recompiling a row, resizing its
 *   table and deletedll release the machine code. A failed translation
 *   records no error and the row runs in the interpreter. A thread with
 *   less than 64 KB of stack left does not translate: the row runs in the
 *   interpreter there and is translated at a later evaluation with room.
 * - The function index, argument count and branch markers that the compiler
 *   places among a row's constants are read when the row is translated: a
 *   host that overwrites them through getin after that is not seen by the
 *   machine code (the interpreter would use the new values, which no
 *   compiler output contains). Ordinary constants are read at every
 *   evaluation in both tiers.
 * - Machine code and the native-stack guard: a translated level of a chain
 *   (calfor, a host function re-entering rcal, ...) takes less native stack
 *   than an interpreted one (calfor about 0.13 KB against 0.3 KB), so on a
 *   thread with a small stack the guard's error -2 comes at a deeper level
 *   in machine code. Chain (n)=which(gt(n,0),calfor(3,n-1)+1,0) at n = 2000
 *   with setstackmax(5000) on a new thread stops after 94, 201 and 633
 *   levels in the interpreter and after 222, 478 and 1000 (the chain limit)
 *   in machine code, on thread stacks of 96, 128 and 256 KB; a chain whose
 *   rows run in both tiers lies between. Both stop with -2 and neither
 *   overflows the stack; only the depth (and so the value of a chain cut
 *   short) differs.
 * - Machine code and the stack area: a row's pending operands live in its
 *   stack area, which every activation of the row shares. In a row that
 *   calls out (host functions, formula calls) the machine code writes them
 *   there exactly where the interpreter does, so an activation suspended in
 *   a call, and a host function reading its arguments a[0..last] and the
 *   function index a[last+1] before or after re-entering the row, find what
 *   the interpreter leaves there. Slots above the live stack, among them a
 *   host function's a[last+2] and beyond, hold no operand: their contents
 *   are not defined and may differ between the tiers (machine code keeps
 *   values in registers and does not store what nothing reads).
 */

/* ------------------------------------------------------------------------ */
/* Shared by all engines                                                     */
/* ------------------------------------------------------------------------ */

/* Refreshes every engine's view of the other two engines' formula tables. */
QX_API void userci(void);
/* Releases everything the library holds (tables, stores, string table). */
QX_API void deletedll(void);
/* Discards the string table, then creates a new, empty one of n slots; 1 on success. With n < 10
   (or when memory runs out) the result is 0 and no table exists afterwards. */
QX_API uint8_t setfcstrmax(int32_t n);
/* Returns the string table's texts and stores its lengths array at *lengths; null without a table. */
QX_API char** getfcstr(int32_t** lengths);
/* Empties the string table for a new set of formulas, keeping its memory. */
QX_API void initfcstr(void);
/* Returns a static text naming the library and its version. */
QX_API const char* ver(void);

/* ------------------------------------------------------------------------ */
/* Interrupting an evaluation                                                */
/* ------------------------------------------------------------------------ */
/*
 * fcinterrupt() is the one function that may be called from any thread at
 * any time (it only sets an atomic request). The evaluation running at that
 * moment, in whichever engine, stops soon: at the end of the current loop
 * pass (for, dowhile, continue), before its next formula call (call,
 * calfor, calrfor, calcfor, califor, sum, pro, datasum, datapro,
 * dataarraysum, simpintegrate) or host-function call, and within one step
 * of sum, pro, datasum, datapro, dataarraysum and simpintegrate; the same
 * holds in machine code. Other built-in functions (stores, limits, max, ...)
 * still work while it unwinds, as under any pending error. Every
 * engine taking part records run-time error QX_RTERR_INTERRUPTED (-3) with
 * the name QX_RTERR_INTERRUPTED_NAME ("interrupt") under the first-error
 * rule, so every enclosing loop and call unwinds as for any pending error;
 * the interrupted call returns its substitute value (usually 0). Fetch the
 * error with fcerr/Cfcerr/Ifcerr as any other.
 * When nothing is running the request has no effect: rcal, rcals, Ccal,
 * Ccals, Ical and Icals called by the host (not from inside a host function)
 * drop a pending request before they start. A request that arrives just as
 * an evaluation ends may therefore be lost; a host that must be sure checks
 * the error record.
 */
/* Asks the running evaluation to stop; callable from any thread. */
QX_API void fcinterrupt(void);

/* ------------------------------------------------------------------------ */
/* Bulk evaluation                                                           */
/* ------------------------------------------------------------------------ */
/*
 * rcalv, Ccalv and Icalv evaluate one row for `count` argument sets in one
 * call. Evaluation i (0 <= i < count) takes argument k from
 *   args[i*rowStride + k*argStride]          (strides in elements)
 * and writes its result to results[i]. Common layouts:
 *   tuples one after another   rowStride = number of arguments, argStride = 1
 *   one column per argument    rowStride = 1, argStride = count
 * Offsets are computed in 64 bits. Any stride is accepted, also 0 (the same
 * value for every evaluation) and negative ones (args then points at the
 * last set); every element so addressed must be readable.
 *
 * The meaning is exactly the loop
 *   for (i = 0; i < count; i++) results[i] = rcal(row, args of i);
 * bit for bit in both the interpreter and machine code: the error record
 * (first error wins), the row's value array (after the call it holds what
 * the last evaluation left), stores, host-function calls in their order and
 * host functions that re-enter the library all behave as in that loop. The
 * arguments of evaluation i are read just before it and results[i] is
 * written just after it, so results may overlay args.
 *
 * Machine code runs real and integer rows that nothing can observe while
 * they run (the rows that may use threads, below) several evaluations at a
 * time, in the lanes of the vector unit: real rows four with AVX2, else two
 * (two under Windows), integer rows eight with AVX2, else four (four under
 * Windows), on the calling thread and on the workers alike. Every result
 * keeps the bits of the single call (a NaN's sign and payload aside, as
 * between the tiers; integer + - * wrap, / by 0 and INT32_MIN / -1, ^ and
 * the one-argument functions give exactly Ical's values), and afterwards
 * the value array holds what the last evaluation left. A row the tier has
 * not translated yet gets its first evaluation from the loop when that
 * evaluation translates it. Other rows and complex rows save the entry
 * cost of each single call.
 *
 * Returns the number of results written, which is count on success. It is 0
 * with nothing touched when the row is outside the table or not compiled,
 * when count <= 0, when results is null, or when args is null and the row
 * takes arguments (args may be null for a row without arguments).
 * Deviations from the plain loop, both deliberate:
 *   - an interrupt (fcinterrupt) stops the whole bulk call, not just the
 *     evaluation running: that evaluation ends as rcal's would, no further
 *     evaluation starts, the call records QX_RTERR_INTERRUPTED (first error
 *     wins) and returns the number of results written so far; later results
 *     are left untouched. (A request during the last evaluation acts as on
 *     rcal.) A call made by the host (not from a host function) drops a
 *     stale request once, at its start, as rcal does. A call running on
 *     worker threads (below) stops at the end of the blocks under way:
 *     it returns the number n of evaluations made, which are evaluations
 *     0 .. n-1 (at least one block), results[0..n-1] are theirs and the
 *     value array holds what evaluation n-1 left; results after n may
 *     have been written as well.
 *   - called from a host function nested too deeply (see rcal), every
 *     result is 0 and the error -2 is recorded once, named "rcalv",
 *     "Ccalv" or "Icalv"; the return value is count.
 *
 * setthreads(n) sets the most threads one bulk call may use, the calling
 * thread included, and returns the previous value: n = 1 the calling thread
 * only, n = 0 one per online processor (the default, restored by
 * deletedll); n < 0 changes nothing and only returns the current value.
 * At most 64 threads are used whatever the limit.
 *
 * Threads. A row whose evaluations nothing can observe and none depends on
 * another runs its evaluations on several threads: its code uses only
 * numbers, named constants, arguments, local and segment variables,
 * assignments, + - * / ^, the one-argument functions and the comparison and
 * logical functions (gt ... xor), with no other second-level or host
 * function, no loop, if or which, and every local or segment variable it
 * reads has been assigned earlier in the same evaluation or is assigned
 * nowhere in the formula (then it keeps, for the whole call, what the host
 * or an earlier evaluation left in it). Every other row runs as the loop
 * on the calling thread. For such a row the library shares evaluations
 * 0 .. count-2 out in blocks over the calling thread and up to n-1 worker
 * threads, each with its own copy of the row's value array, then runs
 * evaluation count-1 on the calling thread as a single call, so the results
 * and the value array are the loop's, bit for bit. The workers copy the
 * calling thread's floating-point environment (rounding, flush-to-zero)
 * for each call. Threads are used only when the work pays for them, as
 * estimated from the row's codes: in the interpreter from about 5,500
 * evaluations for a formula like x*2+y, about 3,000 for x*2+sin(y) and
 * about 1,000 for exp(-x*y)*ln(z+1)+cos(w*x)/(1+y*y), in lane code from
 * about 100,000, 6,300 and 2,100 evaluations; smaller calls run on the calling
 * thread (in lanes where the row has lane code, else as the loop), and a
 * call gets one more thread per such amount of work, up to the limit.
 * A call also runs as the loop when the arguments, the results and the
 * row's value array share memory, and when the host has turned the
 * constant 0 of one of the row's assignments true through the value array
 * (the assignment then reads the variable's old value). A row with lane
 * code uses the workers for its lanes. Any other row already translated
 * to machine code runs as machine code on the calling thread when that is
 * estimated to be faster than the interpreter on the threads (rows made
 * mostly of + - * / and comparisons); rows dominated by exp, ln, sin, pow,
 * ... go to the threads.
 *
 * Workers start at the first bulk call that uses them, sleep between calls
 * (no spinning), and are ended by deletedll. Unloading the library also
 * ends them: on Linux when the shared object is unloaded (dlclose, exit);
 * on Windows running workers keep quibex.dll loaded, so that FreeLibrary
 * without deletedll leaves it loaded with its workers asleep rather than
 * unloading code that threads are in; call deletedll before FreeLibrary.
 * The rest of the interface keeps its rule of one host thread at a time;
 * the workers only ever run a bulk call's evaluations.
 */
/* Evaluates a real row for count argument sets; returns the number of results written. */
QX_API int32_t rcalv(int32_t row, int32_t count, const double* args, int32_t rowStride, int32_t argStride,
                     double* results);
/* Evaluates a complex row for count argument sets; returns the number of results written. */
QX_API int32_t Ccalv(int32_t row, int32_t count, const QxComplex* args, int32_t rowStride, int32_t argStride,
                     QxComplex* results);
/* Evaluates an integer row for count argument sets; returns the number of results written. */
QX_API int32_t Icalv(int32_t row, int32_t count, const int32_t* args, int32_t rowStride, int32_t argStride,
                     int32_t* results);
/* Sets the most threads a bulk call may use (0: one per online processor; n < 0: no change);
   returns the previous value. */
QX_API int32_t setthreads(int32_t n);

/* ------------------------------------------------------------------------ */
/* Real engine                                                               */
/* ------------------------------------------------------------------------ */

/* Discards all real formulas and creates an empty table of n rows; 1 on success. */
QX_API uint8_t setfornum(int32_t n);
/* Compiles text into row; returns a compile code and, on success, argument count minus one at *lastArg.
   The text is only read, during the call. */
QX_API int32_t rcom(int32_t row, const char* text, int32_t* lastArg);
/* Copies the row's arguments from args, evaluates the row and returns its value. */
QX_API double rcal(int32_t row, const double* args);
/* Evaluates the row with the argument slots as they are (see getin). */
QX_API double rcals(int32_t row);
/* Returns the row's value array; its first elements are the argument slots. */
QX_API double* getin(int32_t row);
/* Returns the table's column of value arrays (entry r is getin(r), null if never compiled). */
QX_API double** getallin(void);
/* Returns the table's compiled flags, one byte per row (1 = compiled). */
QX_API uint8_t* getfortrue(void);
/* Returns the table's argument counts minus one, one per row. */
QX_API int32_t* getvarnum(void);
/* Returns the number store and stores its element count at *count; null when none exists. */
QX_API double* getfcdoubles(int32_t* count);
/* Returns the array store, its array count at *count and its lengths array at *lengths. */
QX_API double** getfcdoublearrays(int32_t* count, int32_t** lengths);
/* Registers host functions (names end at an empty text); 1 on success. The three arrays and the
   name texts are kept by address, not copied (see the top of this file). A name that is a built-in
   function of the engine is registered but never called. */
QX_API uint8_t setfcfun(const char* const* names, const int32_t* argRules, const QxRealFn* handlers);
/* Registers named constants (names end at an empty text); a null names or values address means none.
   Both arrays and the name texts are kept by address, not copied; compiling copies the values. */
QX_API void setdoubleconst(const char* const* names, const double* values);
/* Returns and clears the pending run-time error; stores the raising function's name at *name
   (the pointer recorded with the error, not a copy; see the top of this file). */
QX_API int32_t fcerr(const char** name);
/* Returns the pending run-time error without clearing it. */
QX_API int32_t fcerrnum(void);
/* Sets the run-time error record unconditionally (number 0 clears it); name is kept by address. */
QX_API void setfcerr(int32_t number, const char* name);

/* ------------------------------------------------------------------------ */
/* Complex engine                                                            */
/* ------------------------------------------------------------------------ */

/* Discards all complex formulas and creates an empty table of n rows; 1 on success. */
QX_API uint8_t Csetfornum(int32_t n);
/* Compiles text into row; returns a compile code and, on success, argument count minus one at *lastArg. */
QX_API int32_t Ccom(int32_t row, const char* text, int32_t* lastArg);
/* Copies the row's arguments from args, evaluates the row and returns its value. */
QX_API QxComplex Ccal(int32_t row, const QxComplex* args);
/* Evaluates the row with the argument slots as they are (see Cgetin). */
QX_API QxComplex Ccals(int32_t row);
/* Returns the row's value array; its first elements are the argument slots. */
QX_API QxComplex* Cgetin(int32_t row);
/* Returns the table's column of value arrays. */
QX_API QxComplex** Cgetallin(void);
/* Returns the table's compiled flags, one byte per row. */
QX_API uint8_t* Cgetfortrue(void);
/* Returns the table's argument counts minus one, one per row. */
QX_API int32_t* Cgetvarnum(void);
/* Returns the number store and stores its element count at *count; null when none exists. */
QX_API QxComplex* Cgetfccomplexs(int32_t* count);
/* Returns the array store, its array count at *count and its lengths array at *lengths. */
QX_API QxComplex** Cgetfccomplexarrays(int32_t* count, int32_t** lengths);
/* Registers host functions (names end at an empty text); 1 on success. Kept by address, not copied,
   as for setfcfun. */
QX_API uint8_t Csetfcfun(const char* const* names, const int32_t* argRules, const QxComplexFn* handlers);
/* Registers named constants (names end at an empty text); a null names or values address means none.
   Kept by address, not copied, as for setdoubleconst. */
QX_API void Csetcomplexconst(const char* const* names, const QxComplex* values);
/* Returns and clears the pending run-time error; stores the raising function's name at *name
   (the pointer recorded with the error, as for fcerr). */
QX_API int32_t Cfcerr(const char** name);
/* Returns the pending run-time error without clearing it. */
QX_API int32_t Cfcerrnum(void);
/* Sets the run-time error record unconditionally (number 0 clears it); name is kept by address. */
QX_API void Csetfcerr(int32_t number, const char* name);

/* ------------------------------------------------------------------------ */
/* Integer engine                                                            */
/* ------------------------------------------------------------------------ */

/* Discards all integer formulas and creates an empty table of n rows; 1 on success. */
QX_API uint8_t Isetfornum(int32_t n);
/* Compiles text into row; returns a compile code and, on success, argument count minus one at *lastArg. */
QX_API int32_t Icom(int32_t row, const char* text, int32_t* lastArg);
/* Copies the row's arguments from args, evaluates the row and returns its value. */
QX_API int32_t Ical(int32_t row, const int32_t* args);
/* Evaluates the row with the argument slots as they are (see Igetin). */
QX_API int32_t Icals(int32_t row);
/* Returns the row's value array; its first elements are the argument slots. */
QX_API int32_t* Igetin(int32_t row);
/* Returns the table's column of value arrays. */
QX_API int32_t** Igetallin(void);
/* Returns the table's compiled flags, one byte per row. */
QX_API uint8_t* Igetfortrue(void);
/* Returns the table's argument counts minus one, one per row. */
QX_API int32_t* Igetvarnum(void);
/* Returns the number store and stores its element count at *count; null when none exists. */
QX_API int32_t* Igetfclongs(int32_t* count);
/* Returns the array store, its array count at *count and its lengths array at *lengths. */
QX_API int32_t** Igetfclongarrays(int32_t* count, int32_t** lengths);
/* Registers host functions (names end at an empty text); 1 on success. Kept by address, not copied,
   as for setfcfun. */
QX_API uint8_t Isetfcfun(const char* const* names, const int32_t* argRules, const QxIntFn* handlers);
/* Registers named constants (names end at an empty text); a null names or values address means none.
   Kept by address, not copied, as for setdoubleconst. */
QX_API void Isetlongconst(const char* const* names, const int32_t* values);
/* Returns and clears the pending run-time error; stores the raising function's name at *name
   (the pointer recorded with the error, as for fcerr). */
QX_API int32_t Ifcerr(const char** name);
/* Returns the pending run-time error without clearing it. */
QX_API int32_t Ifcerrnum(void);
/* Sets the run-time error record unconditionally (number 0 clears it); name is kept by address. */
QX_API void Isetfcerr(int32_t number, const char* name);

/* ------------------------------------------------------------------------ */
/* STD twins: same signature and behaviour as the function without STD,      */
/* callee-cleans convention                                                  */
/* ------------------------------------------------------------------------ */

QX_API void QX_STDCALL STDuserci(void);
QX_API void QX_STDCALL STDdeletedll(void);
QX_API uint8_t QX_STDCALL STDsetfcstrmax(int32_t n);
QX_API char** QX_STDCALL STDgetfcstr(int32_t** lengths);
QX_API void QX_STDCALL STDinitfcstr(void);
QX_API const char* QX_STDCALL STDver(void);
QX_API void QX_STDCALL STDfcinterrupt(void);
QX_API const char* QX_STDCALL STDcomerrtext(int32_t code);
QX_API const char* QX_STDCALL STDfcerrtext(int32_t number, const char* name);
QX_API int32_t QX_STDCALL STDcomerrpos(void);
QX_API int32_t QX_STDCALL STDCcomerrpos(void);
QX_API int32_t QX_STDCALL STDIcomerrpos(void);
QX_API int32_t QX_STDCALL STDsetthreads(int32_t n);

QX_API uint8_t QX_STDCALL STDsetfornum(int32_t n);
QX_API int32_t QX_STDCALL STDrcom(int32_t row, const char* text, int32_t* lastArg);
QX_API double QX_STDCALL STDrcal(int32_t row, const double* args);
QX_API double QX_STDCALL STDrcals(int32_t row);
QX_API int32_t QX_STDCALL STDrcalv(int32_t row, int32_t count, const double* args, int32_t rowStride,
                                   int32_t argStride, double* results);
QX_API double* QX_STDCALL STDgetin(int32_t row);
QX_API double** QX_STDCALL STDgetallin(void);
QX_API uint8_t* QX_STDCALL STDgetfortrue(void);
QX_API int32_t* QX_STDCALL STDgetvarnum(void);
QX_API double* QX_STDCALL STDgetfcdoubles(int32_t* count);
QX_API double** QX_STDCALL STDgetfcdoublearrays(int32_t* count, int32_t** lengths);
QX_API uint8_t QX_STDCALL STDsetfcfun(const char* const* names, const int32_t* argRules, const QxRealFn* handlers);
QX_API void QX_STDCALL STDsetdoubleconst(const char* const* names, const double* values);
QX_API int32_t QX_STDCALL STDfcerr(const char** name);
QX_API int32_t QX_STDCALL STDfcerrnum(void);
QX_API void QX_STDCALL STDsetfcerr(int32_t number, const char* name);

QX_API uint8_t QX_STDCALL STDCsetfornum(int32_t n);
QX_API int32_t QX_STDCALL STDCcom(int32_t row, const char* text, int32_t* lastArg);
QX_API QxComplex QX_STDCALL STDCcal(int32_t row, const QxComplex* args);
QX_API QxComplex QX_STDCALL STDCcals(int32_t row);
QX_API int32_t QX_STDCALL STDCcalv(int32_t row, int32_t count, const QxComplex* args, int32_t rowStride,
                                   int32_t argStride, QxComplex* results);
QX_API QxComplex* QX_STDCALL STDCgetin(int32_t row);
QX_API QxComplex** QX_STDCALL STDCgetallin(void);
QX_API uint8_t* QX_STDCALL STDCgetfortrue(void);
QX_API int32_t* QX_STDCALL STDCgetvarnum(void);
QX_API QxComplex* QX_STDCALL STDCgetfccomplexs(int32_t* count);
QX_API QxComplex** QX_STDCALL STDCgetfccomplexarrays(int32_t* count, int32_t** lengths);
QX_API uint8_t QX_STDCALL STDCsetfcfun(const char* const* names, const int32_t* argRules, const QxComplexFn* handlers);
QX_API void QX_STDCALL STDCsetcomplexconst(const char* const* names, const QxComplex* values);
QX_API int32_t QX_STDCALL STDCfcerr(const char** name);
QX_API int32_t QX_STDCALL STDCfcerrnum(void);
QX_API void QX_STDCALL STDCsetfcerr(int32_t number, const char* name);

QX_API uint8_t QX_STDCALL STDIsetfornum(int32_t n);
QX_API int32_t QX_STDCALL STDIcom(int32_t row, const char* text, int32_t* lastArg);
QX_API int32_t QX_STDCALL STDIcal(int32_t row, const int32_t* args);
QX_API int32_t QX_STDCALL STDIcals(int32_t row);
QX_API int32_t QX_STDCALL STDIcalv(int32_t row, int32_t count, const int32_t* args, int32_t rowStride,
                                   int32_t argStride, int32_t* results);
QX_API int32_t* QX_STDCALL STDIgetin(int32_t row);
QX_API int32_t** QX_STDCALL STDIgetallin(void);
QX_API uint8_t* QX_STDCALL STDIgetfortrue(void);
QX_API int32_t* QX_STDCALL STDIgetvarnum(void);
QX_API int32_t* QX_STDCALL STDIgetfclongs(int32_t* count);
QX_API int32_t** QX_STDCALL STDIgetfclongarrays(int32_t* count, int32_t** lengths);
QX_API uint8_t QX_STDCALL STDIsetfcfun(const char* const* names, const int32_t* argRules, const QxIntFn* handlers);
QX_API void QX_STDCALL STDIsetlongconst(const char* const* names, const int32_t* values);
QX_API int32_t QX_STDCALL STDIfcerr(const char** name);
QX_API int32_t QX_STDCALL STDIfcerrnum(void);
QX_API void QX_STDCALL STDIsetfcerr(int32_t number, const char* name);

#ifdef __cplusplus
} /* extern "C" */
#endif

#endif /* QUIBEX_H */
