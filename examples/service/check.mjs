// Prints a check and its authentication (job.mjs) as one job through tarvikd,
// then the job's state; exits 0 once it printed. TARVIK_URL and TARVIK_TOKEN
// name the service and its token. Run: node check.mjs
import { job } from "./job.mjs";

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
