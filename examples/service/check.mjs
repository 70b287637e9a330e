// Prints a check and its authentication as one job through tarvikd, then the
// job's state; exits 0 once it printed. TARVIK_URL and TARVIK_TOKEN name the
// service and its token. The key names the document: a retry after a lost
// answer gives the same job and prints nothing more. Run: node check.mjs
const job = {
  key: "pdv-0001",
  commands: [
    { check: { text1: "MIL DUZENTOS E TRINTA E QUATRO REAIS", text2: "E CINQUENTA E SEIS CENTAVOS",
               date: "2026-12-08", amount: 123456, text5: "FULANO DE TAL", text6: "SAO PAULO", bank: "341" } },
    { authenticate: { text: "AUT 0001 08/12/2026 R$ 1.234,56", pitch: "1", double: true, selector: "Y" } },
  ],
};

const response = await fetch(`${process.env.TARVIK_URL}/v1/jobs?wait=60`, {
  method: "POST",
  headers: { Authorization: `Bearer ${process.env.TARVIK_TOKEN}`, "Content-Type": "application/json" },
  body: JSON.stringify(job),
  signal: AbortSignal.timeout(90_000),
});
if (!response.ok) {
  console.error(response.status, await response.text());
  process.exit(1);
}
const { state } = await response.json();
console.log(state);
process.exitCode = state === "printed" ? 0 : 1;
