// The job that check.mjs (Node) and check.html (a browser) send: the demo's
// check and its authentication. The key names the document: a retry after a
// lost answer gives the same job and prints nothing more.
export const job = {
  key: "pdv-0001",
  commands: [
    { check: { text1: "MIL DUZENTOS E TRINTA E QUATRO REAIS", text2: "E CINQUENTA E SEIS CENTAVOS",
               date: "2026-12-08", amount: 123456, text5: "FULANO DE TAL", text6: "SAO PAULO", bank: "341" } },
    { authenticate: { text: "AUT 0001 08/12/2026 R$ 1.234,56", pitch: "1", double: true, selector: "Y" } },
  ],
};
