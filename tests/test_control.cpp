// Control flow inside formulas: loops, conditionals, choice, early exits,
// the level and iteration limits and the effect of pending run-time errors.
// Every table runs through the three engines.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "alloc.h"
#include "engine.h"
#include "fresh_library.h"
#include "quibex.h"

namespace {

enum Eng { kReal, kComplex, kInt };
const char* const kEngName[] = {"real", "complex", "integer"};

// Compiles and evaluates in one engine; values cross as doubles (the real
// part for complex results).
struct Engine {
  Eng e;

  int32_t compile(int32_t row, const std::string& f) const {
    std::string text = f;
    int32_t last;
    switch (e) {
      case kReal: return rcom(row, text.data(), &last);
      case kComplex: return Ccom(row, text.data(), &last);
      default: return Icom(row, text.data(), &last);
    }
  }
  double eval(int32_t row, const std::vector<double>& args = {}) const {
    switch (e) {
      case kReal: return rcal(row, args.data());
      case kComplex: {
        std::vector<QxComplex> c;
        for (double a : args) c.push_back({a, 0});
        return Ccal(row, c.data()).re;
      }
      default: {
        std::vector<int32_t> i;
        for (double a : args) i.push_back(static_cast<int32_t>(a));
        return Ical(row, i.data());
      }
    }
  }
  double run(const std::string& f, const std::vector<double>& args = {}, int32_t row = 0) const {
    EXPECT_EQ(compile(row, f), 0) << f;
    return eval(row, args);
  }
  int32_t takeError(std::string* name = nullptr) const {
    const char* n = nullptr;
    const int32_t r = e == kReal ? fcerr(&n) : e == kComplex ? Cfcerr(&n) : Ifcerr(&n);
    if (name) *name = n && r ? n : "";
    return r;
  }
  void setError(int32_t number, const char* name) const {
    if (e == kReal) setfcerr(number, name);
    else if (e == kComplex) Csetfcerr(number, name);
    else Isetfcerr(number, name);
  }
  double param(int32_t row, int32_t slot) const {
    return e == kReal ? getin(row)[slot] : e == kComplex ? Cgetin(row)[slot].re : Igetin(row)[slot];
  }
  int32_t level() const {
    return e == kReal ? qx::gLib.real.level : e == kComplex ? qx::gLib.cplx.level : qx::gLib.integer.level;
  }
  int32_t levelLimit() const {
    return e == kReal ? qx::gLib.real.levelLimit : e == kComplex ? qx::gLib.cplx.levelLimit : qx::gLib.integer.levelLimit;
  }
  int32_t iterLimit() const {
    return e == kReal ? qx::gLib.real.iterLimit : e == kComplex ? qx::gLib.cplx.iterLimit : qx::gLib.integer.iterLimit;
  }
};

const Engine kEngines[] = {{kReal}, {kComplex}, {kInt}};

class ControlConformance : public FreshLibrary<4> {};

struct LoopCase {
  const char* f;
  std::function<double(double)> cpp;  // the same computation in C++
  std::vector<double> inputs;
};

int64_t sumSquares(int n) {
  int64_t s = 0;
  for (int i = 1; i <= n; ++i) s += int64_t{i} * i;
  return s;
}

TEST_F(ControlConformance, LoopsAndChoicesMatchCpp) {
  const std::vector<LoopCase> cases = {
      {"(n:u,s)=(u=0)+(s=0)+for(lt(u,n),(u=u+1),(s=s+u*u))+s", [](double n) { return sumSquares(int(n)); },
       {0, 1, 2, 7, 10}},
      {"(x:k)=(k=0)+dowhile((x=x+1),(k=k+1),lt(x,3))+k*100+x",  // bottom test: at least one pass
       [](double x) {
         int k = 0;
         do { ++x, ++k; } while (x < 3);
         return k * 100 + x;
       },
       {0, 2, 5}},
      {"(x)=for(0,(x=1))+x", [](double x) { return x; }, {5, 0}},
      {"(x:a)=(a=0)+if(x,(a=2),(a=a*3))*10+a", [](double x) { return x > 0 ? 6 : 0; }, {1, 0, -1}},
      {"(x:a)=(a=0)+which(0,10,x,20,(a=30))+a", [](double x) { return x > 0 ? 20 : 60; }, {1, 0}},
      {"(x)=which(0,10,0,20,x)", [](double x) { return x; }, {30}},
      {"(x)=which(x)", [](double x) { return x; }, {5, -2}},
      // a which as the value of another which does not end the outer skip
      {"(x)=which(0,which(1,2,3),x,7,8)", [](double x) { return x > 0 ? 7 : 8; }, {1, 0}},
      {"(x)=which(x,which(0,2,3),4)", [](double x) { return x > 0 ? 3 : 4; }, {1, 0}},
      {"(x)=which(0,1,0,2,which(x,5,6))", [](double x) { return x > 0 ? 5 : 6; }, {1, 0}},
      {"(x)=which(0,which(1,2,3),which(x,8,1,9),which(1,4,5),6)", [](double) { return 4; }, {1, 0}},
      {"(x)=which(which(x,0,1),which(0,which(1,2),3),which(1,4),5)", [](double x) { return x > 0 ? 5 : 3; },
       {1, 0}},
      {"(x:a,b)=one((a=x),(b=2))+a*10+b", [](double x) { return x * 10 + 2; }, {1, 4}},
      // break: from inside if, from inside an inner loop, from a which value
      {"(n:u)=(u=0)+for(1,(u=u+1),if(ge(u,n),break()))+u", [](double n) { return n < 1 ? 1 : n; }, {0, 1, 5}},
      {"(n:u)=(u=0)+dowhile((u=u+1),if(ge(u,n),break()),1)+u", [](double n) { return n < 1 ? 1 : n; }, {1, 4}},
      {"(n:u,j,s)=(u=0)+(s=0)+for(lt(u,n),(u=u+1),(j=0),for(1,(j=j+1),(s=s+1),if(ge(j,u),break())))+s",
       [](double n) {
         int s = 0;
         for (int i = 1; i <= n; ++i)
           for (int j = 1;; ++j) {
             ++s;
             if (j >= i) break;
           }
         return s;
       },
       {0, 1, 4}},
      {"(n:u)=(u=0)+for(1,(u=u+1),which(ge(u,n),break(),1))+u", [](double n) { return n; }, {3}},
      {"(n:u)=(u=0)+for(lt(u,100),(u=u+1),one(2,break()),(u=u+100))+u", [](double) { return 1; }, {0}},
      // continue: the next pass; in dowhile without testing the condition
      {"(n:u,s)=(u=0)+(s=0)+for(lt(u,n),(u=u+1),if(lt(u,4),continue()),(s=s+u))+s",
       [](double n) {
         int s = 0;
         for (int i = 1; i <= n; ++i) {
           if (i < 4) continue;
           s += i;
         }
         return s;
       },
       {2, 4, 9}},
      {"(x)=dowhile((x=x+1),if(lt(x,5),continue()),0)+x", [](double x) { return x + 1 < 5 ? 5 : x + 1; }, {0, 7}},
      // return ends the whole formula at once
      {"(x)=for(1,if(gt(x,3),return(x*10)),(x=x+1))", [](double x) { return x > 3 ? x * 10 : 40; }, {0, 9}},
      {"(x)=one(return(x+1),(x=99))+1000", [](double x) { return x + 1; }, {4}},
      {"(x)=dowhile(dowhile(return(x),1),1)", [](double x) { return x; }, {6}},
  };
  for (const Engine& en : kEngines) {
    for (const LoopCase& c : cases) {
      for (double in : c.inputs) {
        SCOPED_TRACE(std::string(kEngName[en.e]) + ": " + c.f + " with " + std::to_string(in));
        EXPECT_EQ(en.run(c.f, {in}), c.cpp(in));
        EXPECT_EQ(en.level(), -1);
      }
    }
    EXPECT_EQ(en.takeError(), 0) << kEngName[en.e];
  }
}

TEST_F(ControlConformance, ReturnInCalledFormulaEndsOnlyThatFormula) {
  for (const Engine& en : kEngines) {
    SCOPED_TRACE(kEngName[en.e]);
    ASSERT_EQ(en.compile(1, "(n:u)=(u=0)+for(1,(u=u+1),if(ge(u,n),return(u*100)))"), 0);
    EXPECT_EQ(en.run("(:k,s)=(k=0)+(s=0)+for(lt(k,3),(k=k+1),(s=s+calfor(1,k)))+s"), 600.0);
    EXPECT_EQ(en.param(0, 0), 3.0);
    EXPECT_EQ(en.level(), -1);
    // The caller's loops run on: a break after the call still finds them.
    EXPECT_EQ(en.run("(:k)=(k=0)+dowhile((k=k+1),calfor(1,2),if(ge(k,4),break()),1)+k"), 4.0);
    EXPECT_EQ(en.level(), -1);
    EXPECT_EQ(en.takeError(), 0);
  }
}

// The iteration limit counts the passes that go back to the start.
TEST_F(ControlConformance, IterationLimit) {
  for (const Engine& en : kEngines) {
    SCOPED_TRACE(kEngName[en.e]);
    std::string name;
    // limit + 1 passes, then error 1 for the loop
    EXPECT_EQ(en.run("(:u)=setcyclemax(5)+(u=0)+for(1,(u=u+1))+u"), 6.0);
    EXPECT_EQ(en.iterLimit(), 5);
    EXPECT_EQ(en.takeError(&name), 1);
    EXPECT_EQ(name, "for");
    EXPECT_EQ(en.run("(:u)=(u=0)+dowhile((u=u+1),1)+u"), 6.0);
    EXPECT_EQ(en.takeError(&name), 1);
    EXPECT_EQ(name, "dowhile");
    // a dowhile that would stop after exactly limit + 1 passes still fails
    EXPECT_EQ(en.run("(:u)=(u=0)+dowhile((u=u+1),lt(u,6))+u"), 6.0);
    EXPECT_EQ(en.takeError(&name), 1);
    EXPECT_EQ(name, "dowhile");
    EXPECT_EQ(en.run("(:u)=(u=0)+dowhile((u=u+1),lt(u,5))+u"), 5.0);
    EXPECT_EQ(en.run("(:u)=(u=0)+for(lt(u,5),(u=u+1))+u"), 5.0);
    EXPECT_EQ(en.takeError(), 0);
    // continue counts too; after its error the loop ends at the end of the pass
    EXPECT_EQ(en.run("(:u,j)=(u=0)+(j=0)+for(1,(u=u+1),continue(),(j=j+1))+u*10+j"), 61.0);
    EXPECT_EQ(en.takeError(&name), 1);
    EXPECT_EQ(name, "continue");
    // the count starts again at every entry of the loop
    EXPECT_EQ(en.run("(:u,j,s)=(u=0)+(s=0)+for(lt(u,4),(u=u+1),(j=0),for(lt(j,5),(j=j+1),(s=s+1)))+s"), 20.0);
    EXPECT_EQ(en.takeError(), 0);
    // the limit takes integers above 1 only
    EXPECT_EQ(en.run("setcyclemax(1)"), 0.0);
    EXPECT_EQ(en.takeError(&name), 1);
    EXPECT_EQ(name, "setcyclemax");
    EXPECT_EQ(en.iterLimit(), 5);
    EXPECT_EQ(en.run("setcyclemax(2)"), 0.0);
    EXPECT_EQ(en.iterLimit(), 2);
    EXPECT_EQ(en.takeError(), 0);
    EXPECT_EQ(en.level(), -1);
  }
  // The default limit of a million passes.
  deletedll();
  ASSERT_EQ(setfornum(1), 1);
  std::string f = "(:u)=(u=0)+for(1,(u=u+1))+u";
  int32_t last;
  ASSERT_EQ(rcom(0, f.data(), &last), 0);
  EXPECT_EQ(rcals(0), 1000001.0);
  EXPECT_EQ(fcerr(nullptr), 1);
}

std::string nested(const char* kind, int depth) {
  std::string f = "(k=k+1)";
  for (int d = 0; d < depth; ++d)
    f = std::string(kind) == "for" ? "for(1," + f + ",break())" : "dowhile(" + f + ",0)";
  return "(:k)=(k=0)+" + f + "+k";
}

// Loops of every formula in a chain of calls share the level limit.
TEST_F(ControlConformance, LevelLimit) {
  for (const Engine& en : kEngines) {
    SCOPED_TRACE(kEngName[en.e]);
    std::string name;
    for (const char* kind : {"for", "dowhile"}) {
      EXPECT_EQ(en.run(nested(kind, 16)), 1.0) << kind;
      EXPECT_EQ(en.takeError(), 0);
      EXPECT_EQ(en.run(nested(kind, 17)), 0.0) << kind;  // the 17th body never runs
      EXPECT_EQ(en.takeError(&name), -2);
      EXPECT_EQ(name, kind);
      EXPECT_EQ(en.level(), -1);
    }
    EXPECT_EQ(en.run("setstackmax(3)"), 0.0);
    EXPECT_EQ(en.run(nested("for", 3)), 1.0);
    EXPECT_EQ(en.run(nested("dowhile", 4)), 0.0);
    EXPECT_EQ(en.takeError(&name), -2);
    EXPECT_EQ(name, "dowhile");

    // A called formula's loops take the levels above the caller's.
    ASSERT_EQ(en.compile(1, "(:j)=(j=0)+for(lt(j,1),(j=j+1))+j"), 0);
    const char* caller = "(:a,r)=(a=0)+(r=0)+for(lt(a,1),(a=a+1),(r=calfor(1)))+r";
    EXPECT_EQ(en.run("setstackmax(2)"), 0.0);
    EXPECT_EQ(en.run(caller), 1.0);
    EXPECT_EQ(en.takeError(), 0);
    EXPECT_EQ(en.run("setstackmax(1)"), 0.0);
    EXPECT_EQ(en.run(caller), 0.0);
    EXPECT_EQ(en.takeError(&name), -2);
    EXPECT_EQ(name, "for");
    EXPECT_EQ(en.level(), -1);

    // Accepted limits are 1 .. 32766; others change nothing.
    for (double bad : {0.0, -5.0, 32767.0, 40000.0}) {
      EXPECT_EQ(en.run("(n)=setstackmax(n)", {bad}), 0.0);
      EXPECT_EQ(en.takeError(&name), 1) << bad;
      EXPECT_EQ(name, "setstackmax");
      EXPECT_EQ(en.levelLimit(), 1);
    }
    EXPECT_EQ(en.run("(n)=setstackmax(n)", {32766}), 0.0);
    EXPECT_EQ(en.takeError(), 0);
    EXPECT_EQ(en.levelLimit(), 32766);
    EXPECT_EQ(en.run(nested("for", 40)), 1.0);
    EXPECT_EQ(en.run("setstackmax(16)"), 0.0);
  }
}

// setstackmax from inside running loops: the running loops keep their
// records and end normally, whatever the new limit is.
TEST_F(ControlConformance, SetStackMaxWhileLoopsRun) {
  const int64_t baseline = [] {
    deletedll();
    return qx::testing::liveAllocations();
  }();
  ASSERT_EQ(setfornum(4), 1);
  ASSERT_EQ(Csetfornum(4), 1);
  ASSERT_EQ(Isetfornum(4), 1);
  userci();
  for (const Engine& en : kEngines) {
    SCOPED_TRACE(kEngName[en.e]);
    std::string name;
    // a larger limit
    EXPECT_EQ(en.run("(:u)=(u=0)+for(lt(u,3),(u=u+1),setstackmax(100+u))+u"), 3.0);
    EXPECT_EQ(en.levelLimit(), 103);
    EXPECT_EQ(en.run("(:u,j,s)=(u=0)+(s=0)+for(lt(u,3),(u=u+1),(j=0),"
                     "dowhile((j=j+1),setstackmax(20+u*j),(s=s+1),lt(j,2)))+s"),
              6.0);
    EXPECT_EQ(en.levelLimit(), 26);
    EXPECT_EQ(en.takeError(), 0);

    // a limit below the level that is running: the inner loop still ends,
    // the next attempt to open it fails
    EXPECT_EQ(en.run("(:u,j)=(u=0)+for(lt(u,3),(u=u+1),(j=0),for(lt(j,2),(j=j+1),setstackmax(1)))+u*10+j"), 20.0);
    EXPECT_EQ(en.takeError(&name), -2);
    EXPECT_EQ(name, "for");
    EXPECT_EQ(en.levelLimit(), 1);
    EXPECT_EQ(en.level(), -1);
    EXPECT_EQ(en.run("setstackmax(16)"), 0.0);

    // the allocation of the new record table fails: limit 0, error 2, and
    // the running loops end through the error
    ASSERT_EQ(en.compile(0, "(:u)=(u=0)+for(lt(u,3),(u=u+1),setstackmax(50))+u"), 0);
    qx::testing::failAllocationAfter(0);
    EXPECT_EQ(en.eval(0), 1.0);
    qx::testing::failAllocationAfter(-1);
    EXPECT_EQ(en.takeError(&name), 2);
    EXPECT_EQ(name, "setstackmax");
    EXPECT_EQ(en.levelLimit(), 0);
    EXPECT_EQ(en.level(), -1);
    EXPECT_EQ(en.run("for(1,1)"), 0.0);  // no loop can open now
    EXPECT_EQ(en.takeError(&name), -2);
    EXPECT_EQ(en.run("setstackmax(16)"), 0.0);
    EXPECT_EQ(en.levelLimit(), 16);

    ASSERT_EQ(en.compile(0, "(:u,j)=(u=0)+for(lt(u,3),(u=u+1),(j=0),dowhile((j=j+1),setstackmax(40),lt(j,5)))+u*10+j"),
              0);
    qx::testing::failAllocationAfter(0);
    EXPECT_EQ(en.eval(0), 11.0);
    qx::testing::failAllocationAfter(-1);
    EXPECT_EQ(en.takeError(&name), 2);
    EXPECT_EQ(en.level(), -1);
    // without a loop running, a failure leaves no table at all; the next
    // successful call allocates one again
    ASSERT_EQ(en.compile(0, "setstackmax(8)"), 0);
    qx::testing::failAllocationAfter(0);
    EXPECT_EQ(en.eval(0), 0.0);
    qx::testing::failAllocationAfter(-1);
    EXPECT_EQ(en.takeError(), 2);
    EXPECT_EQ(en.run("setstackmax(8)+for(0,1)"), 0.0);
    EXPECT_EQ(en.takeError(), 0);
    EXPECT_EQ(en.run(nested("dowhile", 8)), 1.0);
    EXPECT_EQ(en.run("setstackmax(16)"), 0.0);
  }
  deletedll();
  EXPECT_EQ(qx::testing::liveAllocations(), baseline);
}

// A pending error ends loops at their next pass, stops continue from going
// back and formula calls from running; the first error is the one kept.
TEST_F(ControlConformance, PendingErrors) {
  for (const Engine& en : kEngines) {
    SCOPED_TRACE(kEngName[en.e]);
    std::string name;
    en.setError(7, "host");
    EXPECT_EQ(en.run("(:u)=(u=0)+for(1,(u=u+1))+u"), 1.0);
    EXPECT_EQ(en.run("(:u)=(u=0)+dowhile((u=u+1),1)+u"), 1.0);
    EXPECT_EQ(en.run("(:u)=(u=0)+for(lt(u,5),(u=u+1),continue(),(u=u+100))+u"), 101.0);
    ASSERT_EQ(en.compile(1, "(:t)=(t=t+1)"), 0);
    // the call yields its substitute value: 0, or in the complex engine its
    // first argument (the row)
    EXPECT_EQ(en.run("calfor(1)+1"), en.e == kComplex ? 2.0 : 1.0);
    EXPECT_EQ(en.param(1, 0), 0.0);  // the called formula never ran
    EXPECT_EQ(en.run("(:a)=setcyclemax(1)+gt(which(0,1),0)*0+(a=3)+a"), 6.0);  // the rest still runs
    EXPECT_EQ(en.takeError(&name), 7);
    EXPECT_EQ(name, "host");

    // An error inside a pass ends the loop at the end of that pass.
    EXPECT_EQ(en.run("(:u)=(u=0)+for(lt(u,10),(u=u+1),if(eq(u,3),setcyclemax(0)),(u=u+0))+u"), 3.0);
    EXPECT_EQ(en.takeError(&name), 1);
    EXPECT_EQ(name, "setcyclemax");

    // Only the first of several errors is kept.
    EXPECT_EQ(en.run("(:a)=setstackmax(0)+gt(which(0,1),0)*0+setcyclemax(1)+(a=7)+a"), 14.0);
    EXPECT_EQ(en.takeError(&name), 1);
    EXPECT_EQ(name, "setstackmax");
    en.run("which(0,1)+setstackmax(0)");
    EXPECT_EQ(en.takeError(&name), 1);
    EXPECT_EQ(name, "which");
    en.run("which(0,10,0,20)");
    EXPECT_EQ(en.takeError(&name), 1);
    EXPECT_EQ(name, "which");
    en.run("which()");
    EXPECT_EQ(en.takeError(&name), 1);
    EXPECT_EQ(name, "which");
    EXPECT_EQ(en.takeError(), 0);
    EXPECT_EQ(en.level(), -1);
  }
}

}  // namespace
