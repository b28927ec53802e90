// Drives the exported interface with sequences of calls taken from the
// input: sizing tables, compiling, evaluating, re-linking, registering
// constants and host functions, the string table, the data stores, the
// error records and deletedll, with allocation failures injected anywhere in
// the sequence. After every call the library must be idle and consistent.
//
// Input: a sequence of operations, each an opcode byte and its operand
// bytes (see run()). Formulas come from templates with bounded arguments or,
// for opcode 3, from the input text up to the next zero byte.
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "harness.h"

namespace {

constexpr int kBudgetMs = 25;
constexpr int32_t kIterLimit = 12;  // every engine, also after deletedll

// Formula templates per engine. %R is replaced by a row, %N by a small count,
// %I by a small index, %V by a value, %S by a level limit, %C by an
// iteration limit, %G by a bounded grid triple, %E by a tolerance, %K by a
// host operation, %T by a short name.
const char* const kRealTemplates[] = {
    "(x)=x+1", "(x,y)=x*y-%V", "1+2", "(x:t)=(t=x*2)+t, y=t", "(x)=a*b, a=x+1, b=x-1",
    "(x)=for(lt(x,%N),(x=x+1))", "(x)=dowhile((x=x+1),lt(x,%N))",
    "(x)=which(gt(x,0),1,lt(x,0),-1,0)", "(x)=which(gt(x,%V),1,eq(x,%V),which(x,2,3),4)",
    "(x)=for(1,if(gt(x,%N),break()),(x=x+1),continue())", "(x)=return(x)+1",
    "(x)=for(lt(x,3),(x=x+1),for(1,return(x)))", "(x)=dowhile(continue(),(x=x+1),lt(x,%N))",
    "newdoubles(%N)", "setd(%I,%V)", "getd(%I)", "addgetd(%I,%V)", "getdadd(%I,%V)",
    "newdoublearrays(%N)", "newdoublearray(%I,%N,%V,%V)", "setda(%I,%I,%V)", "getda(%I,%I)",
    "addgetda(%I,%I,%V)", "call(%R)", "(x)=calfor(%R,x)", "calfor(%R)", "para(%R,%I)",
    "(x)=calcfor(%R,x,%V)", "(x)=califor(%R,x)", "califor(%R)", "calcfor(%R)", "setstackmax(%S)",
    "setcyclemax(%C)", "(x)=sum(%R,0,%G)+x", "(x)=pro(%R,0,%G)", "(x)=datasum(%R,0,%V,%V,x)",
    "(x)=datapro(%R,1,%V,x,%V)", "(x)=dataarraysum(%R,0,%N,%I)", "(x)=dataarraysum(%R,1,x,%N,%I)",
    "(a,b)=simpintegrate(a,b,%E,%R)", "\"%T\"(x)=x*%V", "#\"%T\"+$\"%T\"", "#\"r#%T\"+#\"#%T\"",
    "(x)=max(\"s%N\",&\"s%N\")", "@\"s%N\"", "\"char\"(x)=x+\"s%N\"", "hargs(%V,%V)", "herr(%I)",
    "hclear()", "heval(%R)", "hop(%K,%R)", "(x)=atan2(x,%V)+fmod(x,%V)+modf(x)+sign(x,%V)+dim(x,%V)",
    "(x)=min(x,%V)+max()", "(x)=kpi*x+knan", "(x)=sin(x)^2+lg(x)-int(x)",
};
const char* const kComplexTemplates[] = {
    "(z)=z*i+1", "(z,w)=z/w-%V", "2+3i", "(z)=sqrt(z)+exp(z)-ln(z)+con(z)+xy(z)+x0(z)+y0(z)",
    "(z)=for(lt(z,%N),(z=z+1))", "(z)=which(gt(z,0),1,-1)", "newcomplexs(%N)", "setc(%I,%V)",
    "getc(%I)", "addgetc(%I,%V)", "getcadd(%I,%V)", "newcomplexarrays(%N)",
    "newcomplexarray(%I,%N,%V,%V)", "setca(%I,%I,%V)", "getca(%I,%I)", "addgetca(%I,%I,%V)",
    "call(%R)", "(z)=calfor(%R,z)", "para(%R,%I)", "(z)=calrfor(%R,z)", "(z)=califor(%R,z)",
    "calrfor(%R)", "setstackmax(%S)", "setcyclemax(%C)", "\"%T\"(z)=z", "hargs(%V)", "herr(%I)",
    "hop(%K,%R)", "heval(%R)", "(z)=0^z+z^0.5", "(z)=kz*z", "(z)=dowhile((z=z+1),lt(z,%N))",
};
const char* const kIntTemplates[] = {
    "(n)=n+1", "(n,m)=n/m+mod(n,m)", "(n)=n/%V", "(n)=mod(n,%V)", "(n)=n/(0-1)", "(n)=kmin/n",
    "(n)=for(lt(n,%N),(n=n+1))", "newlongs(%N)", "seti(%I,%V)", "geti(%I)", "addgeti(%I,%V)",
    "getiadd(%I,%V)", "newlongarrays(%N)", "newlongarray(%I,%N,%V,%V)", "setia(%I,%I,%V)",
    "getia(%I,%I)", "addgetia(%I,%I,%V)", "call(%R)", "(n)=calfor(%R,n)", "para(%R,%I)",
    "(n)=calrfor(%R,n)", "(n)=calcfor(%R,n,%V)", "setstackmax(%S)", "setcyclemax(%C)",
    "(n)=max(n,%V)+min(n)+sign(n,%V)+dim(n,%V)+abs(n)", "(n)=2^n+sqrt(n)+exp(n)+ln(n)+lg(n)",
    "\"%T\"(n)=n", "hargs(%V)", "herr(%I)", "hop(%K,%R)", "heval(%R)", "2147483648/(0-1)",
};

template <size_t N>
constexpr size_t count(const char* const (&)[N]) {
  return N;
}

std::string intValueText(uint8_t b) {
  static const char* const v[] = {"0", "1", "-1", "2", "0.5", "-2.5", "3", "1e300",
                                  "(0/0)", "2147483648", "-2147483649", "7", "(1/0)", "16", "-7", "100"};
  return v[b & 15];
}

std::string expand(const char* tpl, fz::Reader& in) {
  std::string out;
  for (const char* p = tpl; *p; ++p) {
    if (*p != '%' || !p[1]) {
      out.push_back(*p);
      continue;
    }
    const char k = *++p;
    const uint8_t b = in.byte();
    switch (k) {
      case 'R': out += std::to_string(static_cast<int>(b % 8) - 1); break;  // -1 .. 6
      case 'N': out += std::to_string(static_cast<int>(b % 9) - 1); break;  // -1 .. 7
      case 'I': out += std::to_string(static_cast<int>(b % 6) - 1); break;  // -1 .. 4
      case 'V': out += intValueText(b); break;
      case 'S': {
        static const char* const v[] = {"0", "1", "2", "3", "16", "32766", "32767", "-1"};
        out += v[b & 7];
        break;
      }
      case 'C': {
        static const char* const v[] = {"1", "2", "5", "12", "0", "-3", "3", "12.9"};
        out += v[b & 7];
        break;
      }
      case 'G': {
        static const char* const v[] = {"0,3,1", "1,3.5,1", "3,1,1", "0,2,0.5", "0,1,0", "0,1,-1", "0,0,1", "-2,2,1"};
        out += v[b & 7];
        if (b & 8) out += std::string(",") + v[(b >> 4) & 7];
        break;
      }
      case 'E': {
        static const char* const v[] = {"0.001", "1e-9", "0", "(0/0)", "-1", "0.1"};
        out += v[b % 6];
        break;
      }
      case 'K': out += std::to_string(b); break;
      case 'T': {
        static const char* const v[] = {"area", "char", "f", "g"};
        out += v[b & 3];
        break;
      }
      default: out.push_back(k); break;
    }
  }
  return out;
}

void clampLimits() {
  qx::gLib.real.iterLimit = qx::gLib.cplx.iterLimit = qx::gLib.integer.iterLimit = kIterLimit;
}

// Addresses handed out by the query exports agree with the tables.
void checkQueries(int engine) {
  const int32_t rows = fz::rowsOf(engine);
  uint8_t* flags = engine == 0 ? getfortrue() : engine == 1 ? Cgetfortrue() : Igetfortrue();
  int32_t* argc = engine == 0 ? getvarnum() : engine == 1 ? Cgetvarnum() : Igetvarnum();
  FZ_CHECK(rows == 0 ? true : (flags != nullptr && argc != nullptr));
  for (int32_t r = 0; r < rows; ++r) {
    FZ_CHECK(flags[r] <= 1);
    if (!flags[r]) continue;
    fz::checkCompiled(engine, r, false);
    switch (engine) {
      case 0: FZ_CHECK(getallin()[r] == getin(r)); break;
      case 1: FZ_CHECK(Cgetallin()[r] == Cgetin(r)); break;
      default: FZ_CHECK(Igetallin()[r] == Igetin(r)); break;
    }
  }
}

void readStoresThroughExports(int engine) {
  int32_t n = -1, arrays = -1;
  int32_t* lens = nullptr;
  switch (engine) {
    case 0: {
      double* p = getfcdoubles(&n);
      for (int32_t i = 0; i < n; ++i) p[i] = p[i] + 0.0;
      double** a = STDgetfcdoublearrays(&arrays, &lens);
      for (int32_t k = 0; k < arrays; ++k)
        for (int32_t i = 0; i < lens[k]; ++i) a[k][i] = -a[k][i];
      break;
    }
    case 1: {
      QxComplex* p = Cgetfccomplexs(&n);
      for (int32_t i = 0; i < n; ++i) p[i].im = p[i].re;
      QxComplex** a = Cgetfccomplexarrays(&arrays, &lens);
      for (int32_t k = 0; k < arrays; ++k)
        for (int32_t i = 0; i < lens[k]; ++i) a[k][i].re = a[k][i].im;
      break;
    }
    default: {
      int32_t* p = Igetfclongs(&n);
      for (int32_t i = 0; i < n; ++i) p[i] ^= 1;
      int32_t** a = Igetfclongarrays(&arrays, &lens);
      for (int32_t k = 0; k < arrays; ++k)
        for (int32_t i = 0; i < lens[k]; ++i) a[k][i] ^= 1;
      break;
    }
  }
  FZ_CHECK(n >= 0 && arrays >= 0);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  fz::Reader in{data, data + size};

  deletedll();
  FZ_CHECK(qx::testing::liveAllocations() == 0);
  clampLimits();
  fz::WorkFilter filter;
  filter.allowLimitSetters = false;

  fz::armWatchdog(kBudgetMs);
  bool injecting = false;
  for (int step = 0; step < 64 && !in.empty() && !fz::gTimedOut; ++step) {
    const uint8_t op = in.byte();
    const uint8_t a = in.byte();
    const int engine = a % 3;
    const bool twin = (a >> 7) & 1;
    switch (op % 17) {
      case 0: {
        static const int32_t sizes[] = {6, 0, 1, 2, 3, 4, -1, 6};
        const int32_t n = sizes[(a >> 2) & 7];
        const uint8_t ok = fz::sizeTable(engine, n, twin);
        if (ok) FZ_CHECK(fz::rowsOf(engine) == n);
        break;
      }
      case 1: (twin ? STDuserci : userci)(); break;
      case 2: case 3: {
        const int32_t row = static_cast<int32_t>(in.byte() % 8) - 1;  // -1 .. 6: some outside the table
        std::string text;
        if (op % 17 == 2) {
          const uint8_t t = in.byte();
          const char* tpl = engine == 0   ? kRealTemplates[t % count(kRealTemplates)]
                            : engine == 1 ? kComplexTemplates[t % count(kComplexTemplates)]
                                          : kIntTemplates[t % count(kIntTemplates)];
          text = expand(tpl, in);
        } else {
          text = in.text(512);
          if (!filter.accept(text)) break;
        }
        std::vector<char> buf(text.begin(), text.end());
        buf.push_back(0);
        int32_t lastArg = -7;
        const int32_t r = fz::compileText(engine, row, buf.data(), &lastArg, twin);
        if (row < 0 || row >= fz::rowsOf(engine)) FZ_CHECK(r == QX_ERR_BAD_ROW);
        if (r == QX_OK) fz::checkCompiled(engine, row);
        else FZ_CHECK(lastArg == -7);
        break;
      }
      case 4: case 5: {
        const int32_t row = static_cast<int32_t>(in.byte() % 6);
        fz::evaluateRow(engine, row, in.byte(), op % 17 == 5, twin);
        break;
      }
      case 6: {
        static const int32_t sizes[] = {-1, 0, 9, 10, 11, 16, 40, 200};
        const uint8_t ok = twin ? STDsetfcstrmax(sizes[(a >> 2) & 7]) : setfcstrmax(sizes[(a >> 2) & 7]);
        FZ_CHECK(ok == 0 || sizes[(a >> 2) & 7] >= 10);
        break;
      }
      case 7: (twin ? STDinitfcstr : initfcstr)(); break;
      case 8: {
        int32_t* lengths = nullptr;
        char** texts = getfcstr(&lengths);
        FZ_CHECK((texts == nullptr) == (lengths == nullptr));
        if (texts && texts[0]) FZ_CHECK(std::strlen(texts[0]) < static_cast<size_t>(lengths[0]));
        break;
      }
      case 9: {
        const uint8_t ok = fz::registerHosts(engine, (a >> 2) & 3);
        if (((a >> 2) & 3) == 3) FZ_CHECK(ok == 0);  // empty list is refused
        break;
      }
      case 10: fz::registerConstants((a >> 2) & 1); break;
      case 11: readStoresThroughExports(engine); break;
      case 12: {
        const char* name = nullptr;
        switch ((a >> 2) & 3) {
          case 0:
            if (!fz::gTimedOut) (void)(engine == 0 ? fcerr(&name) : engine == 1 ? Cfcerr(&name) : Ifcerr(&name));
            break;
          case 1: {
            const int32_t n = engine == 0 ? fcerrnum() : engine == 1 ? Cfcerrnum() : Ifcerrnum();
            FZ_CHECK(n == (engine == 0 ? STDfcerrnum() : engine == 1 ? STDCfcerrnum() : STDIfcerrnum()));
            break;
          }
          default:
            if (!fz::gTimedOut) {
              const int32_t n = static_cast<int32_t>(a >> 4) - 2;
              (engine == 0 ? setfcerr : engine == 1 ? Csetfcerr : Isetfcerr)(n, "host");
            }
            break;
        }
        break;
      }
      case 13: checkQueries(engine); break;
      case 14:
        // The k-th allocation from here on fails; later operations must
        // report it and leave the library usable.
        qx::testing::failAllocationAfter(a % 24);
        injecting = true;
        break;
      case 15:
        (twin ? STDdeletedll : deletedll)();
        FZ_CHECK(qx::testing::liveAllocations() == 0);
        clampLimits();
        break;
      default: FZ_CHECK(ver() != nullptr && STDver() == ver() && std::strlen(ver()) > 0); break;
    }
    fz::checkIdle();
  }
  if (injecting) qx::testing::failAllocationAfter(-1);
  fz::disarmWatchdog();

  for (int e = 0; e < 3; ++e) checkQueries(e);
  fz::touchStores<fz::RealTraits>();
  fz::touchStores<fz::ComplexTraits>();
  fz::touchStores<fz::IntTraits>();
  fz::releaseAndCheck();
  return 0;
}
